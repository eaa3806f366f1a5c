#include "proxy/session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <ctime>
#include <exception>
#include <string_view>

#include <asio/buffer.hpp>
#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>

#include "proxy/http_text.h"
#include "proxy/refusals.h"
#include "log/reason.h"

namespace rg::proxy {

namespace {

using asio::awaitable;
using asio::ip::tcp;
constexpr auto kTuple = asio::experimental::as_tuple(asio::use_awaitable);

// A head may grow this large in a buffer: the framer's and the screening's
// head limit, the X-Forwarded-For line and a replaced Server line.
constexpr uint32_t kHeadBufferLimit = kDefaultMaxHeadLength + 1024;
// After the 400 page, bytes the client is still sending are read and dropped
// for a moment, so that closing does not reset the connection before the
// client has read the page.
constexpr uint32_t kLingerMs = 2000;
constexpr uint64_t kLingerBytes = 1u << 20;

uint64_t MonotonicNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(t.tv_nsec);
}

void CloseHard(tcp::socket& socket) {
  if (!socket.is_open()) return;
  // An abort, not a close: the upstream must see that the request did not
  // end, rather than a body that merely stopped.
  linger hard{1, 0};
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  std::error_code ignored;
  socket.close(ignored);
}

}  // namespace

Session::Session(Worker* worker, tcp::socket socket) : worker_(worker), client_(std::move(socket)) {
  std::error_code ec;
  client_.non_blocking(true, ec);
  int one = 1;
  ::setsockopt(client_.native_handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(client_.native_handle(), reinterpret_cast<sockaddr*>(&peer), &length) == 0)
    clientAddress_ = FormatAddress(reinterpret_cast<sockaddr*>(&peer), false);
  policy_ = worker_->policy();
  RetainEnginePolicy(policy_);
  worker_->Attach(this);
}

Session::~Session() {
  worker_->Detach(this);
  CloseScreening(screening_);
  ReleaseEnginePolicy(policy_);
  ReleaseBuffer(&worker_->pool(), &in_);
  ReleaseBuffer(&worker_->pool(), &out_);
  if (upstream_) CloseHard(upstream_->socket);
  std::error_code ignored;
  client_.close(ignored);
  worker_->metrics().connectionsOpen.Sub();
  worker_->shared().openConnections.fetch_sub(1, std::memory_order_relaxed);
}

void Session::Let() {
  if (--holders_ == 0) delete this;
}

void StartSession(Worker* worker, tcp::socket socket) {
  Session* session = nullptr;
  try {
    session = new Session(worker, std::move(socket));
  } catch (...) {
    session = nullptr;
  }
  if (session == nullptr) {
    LogError("cannot take a connection: out of memory");
    // The socket closes with this frame; the counts the accept loop made go.
    worker->metrics().connectionsOpen.Sub();
    worker->shared().openConnections.fetch_sub(1, std::memory_order_relaxed);
    return;
  }
  session->Hold();
  try {
    asio::co_spawn(worker->context(), session->Run(), [session](std::exception_ptr error) {
      if (error) {
        LogError("a connection ended on an internal error (out of memory?)");
        session->OnStop(true);
      }
      session->Let();
    });
  } catch (...) {
    LogError("cannot start a connection: out of memory");
    session->Let();
  }
}

// ---------------------------------------------------------------------------
// Deadlines and I/O

void Session::CheckDeadlines(int64_t nowMs) {
  for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
    if (deadlines_[slot] == 0 || deadlines_[slot] > nowMs) continue;
    deadlines_[slot] = 0;
    expired_ |= 1u << slot;
    std::error_code ignored;
    if (slot == kClientRead || slot == kClientWrite)
      client_.cancel(ignored);
    else if (upstream_)
      upstream_->socket.cancel(ignored);
  }
}

void Session::OnStop(bool force) {
  std::error_code ignored;
  if (force || phase_ == Phase::kTunnel) {
    stopForced_ = true;
    client_.cancel(ignored);
    if (upstream_) upstream_->socket.cancel(ignored);
  } else if (phase_ == Phase::kIdle) {
    client_.cancel(ignored);
  }
}

awaitable<Io> Session::WaitFor(tcp::socket& socket, bool writable, Slot slot, int64_t deadlineMs) {
  if (stopForced_) co_return Io::kAborted;
  if (deadlineMs != 0 && NowMs() >= deadlineMs) {
    expired_ |= 1u << slot;
    co_return Io::kTimeout;
  }
  deadlines_[slot] = deadlineMs;
  auto [ec] = co_await socket.async_wait(writable ? tcp::socket::wait_write : tcp::socket::wait_read,
                                        kTuple);
  deadlines_[slot] = 0;
  if (expired_ & (1u << slot)) co_return Io::kTimeout;
  if (stopForced_) co_return Io::kAborted;
  if (ec) co_return ec == asio::error::operation_aborted ? Io::kAborted : Io::kError;
  co_return Io::kOk;
}

awaitable<Io> Session::ReadReady(tcp::socket& socket, Slot slot, int64_t deadlineMs, char* into,
                                 uint32_t size, uint32_t* got) {
  *got = 0;
  if (stopForced_) co_return Io::kAborted;
  if (deadlineMs != 0 && NowMs() >= deadlineMs) {
    expired_ |= 1u << slot;
    co_return Io::kTimeout;
  }
  deadlines_[slot] = deadlineMs;
  auto [ec, n] = co_await socket.async_read_some(asio::buffer(into, size), kTuple);
  deadlines_[slot] = 0;
  if (expired_ & (1u << slot)) co_return Io::kTimeout;
  if (stopForced_) co_return Io::kAborted;
  if (ec == asio::error::eof) co_return Io::kEof;
  if (ec) co_return ec == asio::error::operation_aborted ? Io::kAborted : Io::kError;
  *got = static_cast<uint32_t>(n);
  co_return Io::kOk;
}

awaitable<Io> Session::Read(tcp::socket& socket, Slot slot, int64_t deadlineMs, char* into,
                            uint32_t size, uint32_t* got, bool waitFirst) {
  *got = 0;
  bool wait = waitFirst;
  for (;;) {
    if (wait) {
      Io ready = co_await WaitFor(socket, false, slot, deadlineMs);
      if (ready != Io::kOk) co_return ready;
    }
    if (!socket.is_open()) co_return Io::kAborted;
    ssize_t n = ::recv(socket.native_handle(), into, size, 0);
    if (n > 0) {
      *got = static_cast<uint32_t>(n);
      co_return Io::kOk;
    }
    if (n == 0) co_return Io::kEof;
    if (errno == EINTR) {
      wait = false;
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      wait = true;
      continue;
    }
    co_return Io::kError;
  }
}

awaitable<Io> Session::Write(tcp::socket& socket, Slot slot, uint32_t timeoutMs, const char* bytes,
                             uint32_t length) {
  while (length > 0) {
    if (!socket.is_open()) co_return Io::kAborted;
    ssize_t n = ::send(socket.native_handle(), bytes, length, MSG_NOSIGNAL);
    if (n > 0) {
      bytes += n;
      length -= static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Backpressure: nothing more is read from the other side until this
      // side has taken what we hold.
      Io ready = co_await WaitFor(socket, true, slot, NowMs() + timeoutMs);
      if (ready != Io::kOk) co_return ready;
      continue;
    }
    co_return Io::kError;
  }
  co_return Io::kOk;
}

awaitable<Io> Session::WriteClient(const char* bytes, uint32_t length) {
  Io io = co_await Write(client_, kClientWrite, worker_->options().idleTimeoutMs, bytes, length);
  if (io == Io::kOk) {
    worker_->metrics().bytesOut.Add(length);
    clientResponseBytes_ += length;
  } else if (io == Io::kTimeout) {
    CountClientTimeout();
  }
  co_return io;
}

void Session::CountClientTimeout() { worker_->metrics().clientTimeouts.Add(); }

void Session::AbortUpstream() {
  if (upstream_) CloseHard(upstream_->socket);
}

void Session::ReturnUpstream() {
  if (!upstream_) return;
  if (upstream_->socket.is_open()) worker_->GiveUpstream(std::move(upstream_));
  upstream_.reset();
}

// ---------------------------------------------------------------------------
// Screening and refusals

Verdict Session::ScreenBytes(const char* bytes, uint32_t length) {
  uint64_t start = MonotonicNs();
  Verdict verdict = Screen(screening_, bytes, length);
  screenNs_ += MonotonicNs() - start;
  if (verdict.kind == VerdictKind::kRejected) {
    LogVerdict(policy_, screening_, verdict);
    if (!Blocks(verdict)) {
      // Simulate mode: logged and let through. The engine has ended this
      // request, so the framer alone frames the rest of it, which goes
      // upstream unscreened; the next request is screened from its first
      // byte again.
      screeningOff_ = true;
      uint32_t reason = verdict.reason < kReasonCount ? static_cast<uint32_t>(verdict.reason) : 0u;
      worker_->metrics().simulatedByReason[reason].Add();
    }
  }
  return verdict;
}

void Session::SetProxyRefusal(ProxyRefusal refusal) {
  refusal_ = Refusal::kProxy;
  refusedByProxy_ = refusal;
}

bool Session::TakeHeld() {
  if (requestTaken_ == 0 && inScanned_ == 0) {
    // Empty lines before a request are no request: the engine passes over
    // them unscreened, so they do not go upstream either, and the head that
    // does starts where the screening did.
    while (in_.Held() > 0 && (in_.data[in_.begin] == '\r' || in_.data[in_.begin] == '\n'))
      ++in_.begin;
    if (in_.Held() == 0) return true;
  }
  const char* bytes = in_.data + in_.begin + inScanned_;
  const uint32_t available = in_.Held() - inScanned_;
  uint32_t span = available;
  Verdict verdict{};
  const bool screened = !screeningOff_;
  if (screened) {
    verdict = ScreenBytes(bytes, available);
    if (Blocks(verdict)) {
      refusal_ = Refusal::kVerdict;
      refusedVerdict_ = verdict;
      return false;
    }
    if (!screeningOff_) {
      span = verdict.consumed;
      // Going on without taking anything would only ask the same again.
      if (span == 0 && available > 0) {
        SetProxyRefusal(ProxyRefusal::kBoundaryDisputed);
        return false;
      }
    }
  }
  // The framer reads exactly what the engine took, and must end the head
  // and the request where the engine does: otherwise what the policy passed
  // is not what the upstream would read as this request.
  uint32_t done = 0;
  bool complete = false;
  while (done < span && !complete) {
    FrameResult framed = FramerFeed(&requestFramer_, bytes + done, span - done);
    if (framed.error != FrameError::kNone) {
      if (screeningOff_) {
        refusal_ = Refusal::kFraming;
        refusedFraming_ = framed.error;
      } else {
        SetProxyRefusal(ProxyRefusal::kBoundaryDisputed);
      }
      return false;
    }
    if (framed.headComplete) {
      headSeen_ = true;
      headLength_ = requestTaken_ + done + static_cast<uint32_t>(framed.headEnd);
      FramerHead(&requestFramer_, &requestHead_);
    }
    done += static_cast<uint32_t>(framed.consumed);
    if (framed.messageComplete) {
      complete = true;
      requestKeepAlive_ = framed.keepAlive;
    } else if (framed.consumed == 0 && !framed.headComplete) {
      break;
    }
  }
  if (screened && !screeningOff_) {
    bool agree = done == span && complete == verdict.messageComplete;
    if (headSeen_ && verdict.headLength != headLength_) agree = false;
    if (!agree) {
      SetProxyRefusal(ProxyRefusal::kBoundaryDisputed);
      return false;
    }
  }
  inScanned_ += done;
  requestTaken_ += done;
  requestComplete_ = complete;
  return true;
}

awaitable<void> Session::WriteBlockPage() {
  // Once the final response has started, a page can no longer replace it.
  if (finalStarted_) co_return;
  finalStarted_ = true;
  const char* bytes = nullptr;
  uint32_t length = 0;
  BlockPage(policy_, &bytes, &length);
  linger_ = true;
  if (length > 0) co_await WriteClient(bytes, length);
}

awaitable<Session::Step> Session::Refuse() {
  WorkerMetrics& metrics = worker_->metrics();
  const void* request = nullptr;
  uint32_t length = 0;
  RecordedRequest(screening_, &request, &length);
  if (length == 0) {
    // Nothing of this request reached the engine: the record shows what
    // arrived of it.
    request = in_.data + in_.begin;
    length = std::min<uint32_t>(in_.Held(), 8192);
  }
  switch (refusal_) {
    case Refusal::kVerdict:
      // Logged when screened.
      if (refusedVerdict_.reason == kReasonFraming &&
          refusedVerdict_.matchIndex < static_cast<uint32_t>(FrameError::kCount))
        metrics.framingRefusals[refusedVerdict_.matchIndex].Add();
      else
        metrics.blockedByReason[refusedVerdict_.reason < kReasonCount
                                    ? static_cast<uint32_t>(refusedVerdict_.reason)
                                    : 0u]
            .Add();
      break;
    case Refusal::kFraming:
      LogFramingRefusal(policy_, screening_, FrameErrorMessage(refusedFraming_), request, length);
      metrics.framingRefusals[static_cast<uint32_t>(refusedFraming_)].Add();
      break;
    case Refusal::kProxy:
      LogFramingRefusal(policy_, screening_, ProxyRefusalMessage(refusedByProxy_), request, length);
      metrics.proxyRefusals[static_cast<uint32_t>(refusedByProxy_)].Add();
      break;
    case Refusal::kNone:
      break;
  }
  FinishScreening();
  co_await WriteBlockPage();
  co_return Step::kClose;
}

void Session::FinishScreening() {
  if (screeningObserved_) return;
  screeningObserved_ = true;
  WorkerMetrics& m = worker_->metrics();
  m.requestsScreened.Add();
  m.ObserveScreening(screenNs_);
}

awaitable<void> Session::WriteGatewayError(uint32_t status) {
  if (finalStarted_) co_return;
  finalStarted_ = true;
  finalStatus_ = status;
  const char* server = nullptr;
  if (serverAction_ == ServerHeaderAction::kReplace)
    server = serverText_;
  else if (serverAction_ == ServerHeaderAction::kKeep)
    server = worker_->shared().serverSoftware;
  bool close = !(requestComplete_ && requestKeepAlive_) || worker_->stopping();
  std::string page = GatewayResponse(status, server, close);
  if (close) closeAfter_ = true;
  linger_ = true;
  co_await WriteClient(page.data(), static_cast<uint32_t>(page.size()));
}

awaitable<void> Session::LingeringClose() {
  if (!client_.is_open()) co_return;
  std::error_code ignored;
  if (!(linger_ || closeAfter_ || in_.Held() > 0) || stopForced_) {
    client_.close(ignored);
    co_return;
  }
  ::shutdown(client_.native_handle(), SHUT_WR);
  int64_t deadline = NowMs() + std::min(worker_->options().idleTimeoutMs, kLingerMs);
  uint64_t dropped = 0;
  bool wait = in_.Held() == 0;
  while (dropped < kLingerBytes && !stopForced_) {
    uint32_t got = 0;
    Io io = co_await Read(client_, kClientRead, deadline, worker_->scratch(), 4096, &got, wait);
    if (io != Io::kOk) break;
    dropped += got;
    wait = false;
  }
  client_.close(ignored);
}

// ---------------------------------------------------------------------------
// The connection

awaitable<void> Session::Run() {
  uint32_t error = OpenScreening(policy_, clientAddress_.c_str(), &screening_);
  if (error != 0) {
    screening_ = nullptr;
    Verdict verdict{};
    verdict.kind = VerdictKind::kRejected;
    verdict.reason = kReasonWindowsError;
    verdict.winError = error;
    LogVerdict(policy_, nullptr, verdict);
    worker_->metrics().blockedByReason[kReasonWindowsError].Add();
    co_await WriteBlockPage();
    co_await LingeringClose();
    co_return;
  }
  serverAction_ = ServerHeaderDecision(policy_, &serverText_);
  for (;;) {
    Step step = co_await ReadRequestHead();
    if (step == Step::kClose) break;
    step = co_await Exchange();
    if (step == Step::kClose) break;
    // The response went out: the next bytes begin a new request.
    ResponseStarted(screening_, finalStatus_);
    if (worker_->stopping()) break;
  }
  co_await LingeringClose();
}

awaitable<Session::Step> Session::ReadRequestHead() {
  const ServeOptions& options = worker_->options();
  FramerInit(&requestFramer_, FrameKind::kRequest, 0);
  inScanned_ = 0;
  requestTaken_ = 0;
  headLength_ = 0;
  headSeen_ = false;
  heldForRetry_ = false;
  heldLength_ = 0;
  screeningOff_ = false;
  screeningObserved_ = false;
  screenNs_ = 0;
  requestComplete_ = false;
  requestKeepAlive_ = false;
  finalStarted_ = false;
  closeAfter_ = false;
  clientResponseBytes_ = 0;
  refusal_ = Refusal::kNone;
  // Pipelined bytes already held start the header clock now.
  int64_t headerDeadline = NowMs() + options.headerTimeoutMs;
  for (;;) {
    if (inScanned_ == in_.Held()) {
      if (in_.Held() == 0) {
        // Between requests nothing is held, and so is no buffer.
        ReleaseBuffer(&worker_->pool(), &in_);
        if (worker_->stopping()) co_return Step::kClose;
        phase_ = Phase::kIdle;
        uint32_t first = 0;
        Io ready = co_await ReadReady(client_, kClientRead, NowMs() + options.idleTimeoutMs, first_,
                                      sizeof first_, &first);
        phase_ = Phase::kActive;
        if (ready != Io::kOk) {
          if (ready == Io::kTimeout) CountClientTimeout();
          co_return Step::kClose;
        }
        if (!AcquireBuffer(&worker_->pool(), &in_)) co_return Step::kClose;
        std::memcpy(in_.data, first_, first);
        in_.end = first;
        worker_->metrics().bytesIn.Add(first);
        headerDeadline = NowMs() + options.headerTimeoutMs;
        // Take what came before reading again: it may be the whole request.
        if (!TakeHeld()) co_return co_await Refuse();
        if (headSeen_) co_return Step::kNext;
        continue;
      } else if (!EnsureFree(&worker_->pool(), &in_, 1, kHeadBufferLimit)) {
        // The engine refuses a head long before; a buffer this full means
        // memory ran short.
        co_return Step::kClose;
      }
      uint32_t got = 0;
      Io io = co_await Read(client_, kClientRead, headerDeadline, in_.Free(), in_.FreeSpace(), &got,
                            false);
      if (io != Io::kOk) {
        // A client that stops in the middle of a head gets no answer: there
        // is no request to answer yet.
        if (io == Io::kTimeout) CountClientTimeout();
        co_return Step::kClose;
      }
      in_.end += got;
      worker_->metrics().bytesIn.Add(got);
    }
    if (!TakeHeld()) co_return co_await Refuse();
    if (headSeen_) co_return Step::kNext;
  }
}

awaitable<Io> Session::ConnectUpstream() {
  const ServeOptions& options = worker_->options();
  Io result = Io::kError;
  for (const SocketAddress& address : options.upstream.addresses) {
    int family = address.storage.ss_family;
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) continue;
    auto upstream = std::make_unique<Upstream>(worker_->context());
    std::error_code ec;
    upstream->socket.assign(family == AF_INET6 ? tcp::v6() : tcp::v4(), fd, ec);
    if (ec) {
      ::close(fd);
      continue;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length);
    if (rc != 0 && errno != EINPROGRESS) continue;
    upstream_ = std::move(upstream);
    expired_ &= ~((1u << kUpstreamRead) | (1u << kUpstreamWrite));
    if (rc != 0) {
      Io ready = co_await WaitFor(upstream_->socket, true, kUpstreamWrite,
                                  NowMs() + options.upstreamTimeoutMs);
      int err = 0;
      socklen_t length = sizeof err;
      if (ready == Io::kOk) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length);
      if (ready != Io::kOk || err != 0) {
        result = ready == Io::kTimeout ? Io::kTimeout : Io::kError;
        upstream_.reset();
        if (ready == Io::kAborted) co_return Io::kAborted;
        continue;
      }
      // Waiting for the connection registered the socket for writability,
      // for good: every acknowledgement of what we send would then wake the
      // loop. Register it afresh, for reading only.
      int native = upstream_->socket.release(ec);
      if (ec) {
        upstream_.reset();
        continue;
      }
      upstream_->socket.assign(family == AF_INET6 ? tcp::v6() : tcp::v4(), native, ec);
      if (ec) {
        ::close(native);
        upstream_.reset();
        continue;
      }
    }
    co_return Io::kOk;
  }
  co_return result;
}

awaitable<Session::Step> Session::Exchange() {
  const ServeOptions& options = worker_->options();
  WorkerMetrics& metrics = worker_->metrics();
  std::string_view head(in_.data + in_.begin, headLength_);
  if (requestHead_.methodIsConnect) {
    SetProxyRefusal(ProxyRefusal::kConnect);
    co_return co_await Refuse();
  }
  UpgradeRequest upgrade = ClassifyUpgrade(head);
  if (upgrade == UpgradeRequest::kOther) {
    SetProxyRefusal(ProxyRefusal::kUpgradeNotAllowed);
    co_return co_await Refuse();
  }
  wantTunnel_ = upgrade == UpgradeRequest::kWebSocket;
  const bool retryable = requestComplete_ && IsSafeToRetry(RequestMethod(head));

  if (options.addForwarded) {
    uint32_t before = headLength_;
    if (!AppendForwardedFor(&worker_->pool(), &in_, 0, &headLength_, clientAddress_,
                            kHeadBufferLimit))
      co_return Step::kClose;
    inScanned_ += headLength_ - before;
  }

  finalStatus_ = 0;
  // The body pump starts inline, before RelayResponse runs: left set by the
  // previous exchange, this would stop it before its first read.
  finalResponseDone_ = false;
  responseKeepAlive_ = false;
  bodyRefused_ = false;
  clientGone_ = false;
  upstreamWriteFailed_ = false;
  // What is screened so far goes in one write: the head, and the body bytes
  // that came with it. A whole request stays held until its answer begins,
  // so that it can go again on a fresh connection.
  heldForRetry_ = requestComplete_;
  heldLength_ = inScanned_;
  Relay relay = Relay::kFailed;
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool reused = false;
    upstream_ = worker_->TakeUpstream(&reused);
    if (upstream_) {
      expired_ &= ~((1u << kUpstreamRead) | (1u << kUpstreamWrite));
    } else {
      Io connected = co_await ConnectUpstream();
      if (connected != Io::kOk) {
        if (connected == Io::kAborted) co_return Step::kClose;
        if (connected == Io::kTimeout) {
          metrics.upstreamTimeouts.Add();
          co_await WriteGatewayError(504);
        } else {
          metrics.upstreamErrors.Add();
          co_await WriteGatewayError(502);
        }
        break;
      }
    }
    Io sent = co_await Write(upstream_->socket, kUpstreamWrite, options.upstreamTimeoutMs,
                             in_.data + in_.begin, heldLength_);
    if (sent != Io::kOk) {
      AbortUpstream();
      upstream_.reset();
      if (sent == Io::kAborted) co_return Step::kClose;
      if (reused && retryable && attempt == 0) continue;
      if (sent == Io::kTimeout) {
        metrics.upstreamTimeouts.Add();
        co_await WriteGatewayError(504);
      } else {
        metrics.upstreamErrors.Add();
        co_await WriteGatewayError(502);
      }
      break;
    }
    if (!requestComplete_) {
      // The rest of the body follows as it passes screening.
      in_.begin += heldLength_;
      inScanned_ = 0;
      heldForRetry_ = false;
      pumpRunning_ = true;
      if (!pumpDone_) pumpDone_ = std::make_unique<asio::steady_timer>(worker_->context());
      pumpDone_->expires_at(asio::steady_timer::time_point::max());
      Hold();
      try {
        asio::co_spawn(worker_->context(), PumpBody(), [this](std::exception_ptr error) {
          if (error) {
            clientGone_ = true;
            AbortUpstream();
          }
          pumpRunning_ = false;
          pumpDone_->cancel();
          Let();
        });
      } catch (...) {
        pumpRunning_ = false;
        clientGone_ = true;
        --holders_;
      }
    }
    relay = co_await RelayResponse(reused, retryable && attempt == 0);
    if (relay == Relay::kRetry) {
      AbortUpstream();
      upstream_.reset();
      continue;
    }
    break;
  }

  if (pumpRunning_) {
    // The exchange ended before the request did (an early final response, or
    // a failure): stop forwarding the body, and the connection ends here.
    closeAfter_ = true;
    linger_ = true;
    AbortUpstream();
    std::error_code ignored;
    client_.cancel(ignored);
    while (pumpRunning_) co_await pumpDone_->async_wait(kTuple);
  }
  if (heldForRetry_) {
    in_.begin += heldLength_;
    inScanned_ = 0;
    heldForRetry_ = false;
  }
  ReleaseBuffer(&worker_->pool(), &out_);

  if (bodyRefused_) {
    AbortUpstream();
    upstream_.reset();
    co_return co_await Refuse();
  }
  FinishScreening();
  if (requestComplete_ && !clientGone_) metrics.requestsPassed.Add();
  if (relay == Relay::kDone && requestComplete_ && responseKeepAlive_ && out_.Empty())
    ReturnUpstream();
  else
    AbortUpstream();
  upstream_.reset();
  if (relay == Relay::kTunnelled || clientGone_) co_return Step::kClose;
  if (relay == Relay::kFailed && !finalStarted_) co_return Step::kClose;
  if (!requestComplete_ || !requestKeepAlive_ || closeAfter_) co_return Step::kClose;
  if (relay == Relay::kDone && !responseKeepAlive_) co_return Step::kClose;
  if (relay == Relay::kFailed && finalStatus_ < 500) co_return Step::kClose;
  co_return Step::kNext;
}

awaitable<void> Session::PumpBody() {
  const ServeOptions& options = worker_->options();
  for (;;) {
    if (finalResponseDone_ || stopForced_) break;
    if (inScanned_ > 0) {
      Io sent = co_await Write(upstream_->socket, kUpstreamWrite, options.upstreamTimeoutMs,
                               in_.data + in_.begin, inScanned_);
      if (sent != Io::kOk) {
        if (sent == Io::kTimeout) worker_->metrics().upstreamTimeouts.Add();
        upstreamWriteFailed_ = true;
        break;
      }
      in_.begin += inScanned_;
      inScanned_ = 0;
    }
    if (requestComplete_) break;
    if (in_.Held() == 0) {
      in_.begin = in_.end = 0;
      uint32_t got = 0;
      Io io = co_await Read(client_, kClientRead, NowMs() + options.idleTimeoutMs, in_.Free(),
                            in_.FreeSpace(), &got, false);
      if (io != Io::kOk) {
        if (io == Io::kTimeout) CountClientTimeout();
        if (!finalResponseDone_) clientGone_ = true;
        break;
      }
      in_.end += got;
      worker_->metrics().bytesIn.Add(got);
    }
    if (!TakeHeld()) {
      bodyRefused_ = true;
      break;
    }
  }
  if (bodyRefused_ || clientGone_) {
    // Nothing more of this request may reach the upstream, and it must not
    // take what it has for a whole request.
    AbortUpstream();
  }
}

awaitable<Session::Relay> Session::RelayResponse(bool reused, bool retryable) {
  const ServeOptions& options = worker_->options();
  WorkerMetrics& metrics = worker_->metrics();
  finalResponseDone_ = false;
  if (!AcquireBuffer(&worker_->pool(), &out_)) co_return Relay::kFailed;
  out_.begin = out_.end = 0;
  FramerInit(&responseFramer_, FrameKind::kResponse, 0);
  bool anyByte = false;

  // Ends the exchange when the upstream failed: a 502 or 504 while the
  // client has not seen the final response yet, else only the close.
  auto upstreamFailed = [&](Io io) -> bool {
    if (bodyRefused_ || clientGone_) return false;
    if (io == Io::kTimeout)
      metrics.upstreamTimeouts.Add();
    else
      metrics.upstreamErrors.Add();
    return !finalStarted_;
  };

  for (;;) {
    // One message: interim (1xx) ones come before the final response.
    FramerExpectResponseTo(&responseFramer_, requestHead_.methodIsHead, false);
    uint32_t scanned = 0;
    FrameResult framed{};
    for (;;) {
      if (scanned == out_.Held()) {
        if (!EnsureFree(&worker_->pool(), &out_, 1, kHeadBufferLimit)) {
          if (upstreamFailed(Io::kError)) co_await WriteGatewayError(502);
          co_return Relay::kFailed;
        }
        uint32_t got = 0;
        Io io = co_await ReadReady(upstream_->socket, kUpstreamRead,
                                   NowMs() + options.upstreamTimeoutMs, out_.Free(),
                                   out_.FreeSpace(), &got);
        if (io != Io::kOk) {
          if (io == Io::kAborted && stopForced_) co_return Relay::kFailed;
          // A kept-alive connection the upstream had already closed: the
          // request may go again on a fresh one, as it never arrived.
          if (!anyByte && reused && retryable && (io == Io::kEof || io == Io::kError) &&
              !pumpRunning_)
            co_return Relay::kRetry;
          if (upstreamFailed(io)) co_await WriteGatewayError(io == Io::kTimeout ? 504 : 502);
          co_return Relay::kFailed;
        }
        anyByte = true;
        out_.end += got;
      }
      framed = FramerFeed(&responseFramer_, out_.data + out_.begin + scanned, out_.Held() - scanned);
      if (framed.consumed == 0 && !framed.headComplete && framed.error == FrameError::kNone)
        framed.error = FrameError::kOther;
      if (framed.error != FrameError::kNone) {
        if (upstreamFailed(Io::kError)) co_await WriteGatewayError(502);
        co_return Relay::kFailed;
      }
      scanned += static_cast<uint32_t>(framed.consumed);
      if (framed.headComplete) break;
    }
    FrameHead head{};
    FramerHead(&responseFramer_, &head);
    uint32_t headLength = scanned;
    if (!ApplyServerHeader(&worker_->pool(), &out_, 0, &headLength, serverAction_, serverText_,
                           kHeadBufferLimit + 512)) {
      if (upstreamFailed(Io::kError)) co_await WriteGatewayError(502);
      co_return Relay::kFailed;
    }
    const uint32_t status = head.status;
    if (status >= 100 && status < 200 && status != 101) {
      // Interim response (100 Continue, 103 Early Hints): relayed as it is,
      // and the final response follows.
      Io io = co_await WriteClient(out_.data + out_.begin, headLength);
      if (io != Io::kOk) co_return Relay::kFailed;
      out_.begin += headLength;
      if (!framed.messageComplete) {
        FrameResult rest = FramerFeed(&responseFramer_, out_.data + out_.begin, 0);
        if (rest.error != FrameError::kNone) co_return Relay::kFailed;
      }
      continue;
    }
    if (status == 101) {
      if (!wantTunnel_ || pumpRunning_) {
        if (upstreamFailed(Io::kError)) co_await WriteGatewayError(502);
        co_return Relay::kFailed;
      }
      finalStarted_ = true;
      finalStatus_ = status;
      // Counted from the moment the upstream agreed, so that the count is
      // there before the client can see the 101.
      metrics.tunnelsOpened.Add();
      metrics.tunnelsOpen.Add();
      Io io = co_await WriteClient(out_.data + out_.begin, headLength);
      if (io != Io::kOk) {
        metrics.tunnelsOpen.Sub();
        co_return Relay::kFailed;
      }
      out_.begin += headLength;
      co_return co_await Tunnel();
    }

    // A stop is under way: the client learns from this response that the
    // connection ends after it, rather than from a failed next request.
    if (worker_->stopping() &&
        !SetConnectionClose(&worker_->pool(), &out_, 0, &headLength, kHeadBufferLimit + 1024)) {
      if (upstreamFailed(Io::kError)) co_await WriteGatewayError(502);
      co_return Relay::kFailed;
    }
    // The final response: its head and what is held of its body go out in
    // one write.
    finalStarted_ = true;
    finalStatus_ = status;
    uint32_t pending = headLength;
    bool complete = framed.messageComplete;
    bool keepAlive = framed.keepAlive;
    for (;;) {
      if (!complete) {
        framed = FramerFeed(&responseFramer_, out_.data + out_.begin + pending,
                            out_.Held() - pending);
        if (framed.error != FrameError::kNone) {
          upstreamFailed(Io::kError);
          co_return Relay::kFailed;
        }
        pending += static_cast<uint32_t>(framed.consumed);
        complete = framed.messageComplete;
        keepAlive = framed.keepAlive;
      }
      if (pending > 0) {
        Io io = co_await WriteClient(out_.data + out_.begin, pending);
        if (io != Io::kOk) co_return Relay::kFailed;
        out_.begin += pending;
        pending = 0;
      }
      if (complete) break;
      if (out_.Held() == 0) out_.begin = out_.end = 0;
      uint32_t got = 0;
      Io io = co_await ReadReady(upstream_->socket, kUpstreamRead,
                                 NowMs() + options.upstreamTimeoutMs, out_.Free(), out_.FreeSpace(),
                                 &got);
      if (io == Io::kEof) {
        // A body that runs to the end of the connection ends here; any other
        // was cut short.
        framed = FramerFinish(&responseFramer_);
        if (framed.error == FrameError::kNone && framed.messageComplete) {
          keepAlive = false;
          break;
        }
        upstreamFailed(Io::kError);
        co_return Relay::kFailed;
      }
      if (io != Io::kOk) {
        upstreamFailed(io);
        co_return Relay::kFailed;
      }
      out_.end += got;
    }
    responseKeepAlive_ = keepAlive;
    finalResponseDone_ = true;
    co_return Relay::kDone;
  }
}

// ---------------------------------------------------------------------------
// WebSocket tunnel

awaitable<Session::Relay> Session::Tunnel() {
  WorkerMetrics& metrics = worker_->metrics();
  phase_ = Phase::kTunnel;
  if (heldForRetry_) {
    in_.begin += heldLength_;
    inScanned_ = 0;
    heldForRetry_ = false;
  }
  tunnelActivityMs_ = NowMs();
  pumpRunning_ = true;
  if (!pumpDone_) pumpDone_ = std::make_unique<asio::steady_timer>(worker_->context());
  pumpDone_->expires_at(asio::steady_timer::time_point::max());
  Hold();
  try {
    asio::co_spawn(worker_->context(), TunnelClientToUpstream(), [this](std::exception_ptr) {
      pumpRunning_ = false;
      pumpDone_->cancel();
      Let();
    });
  } catch (...) {
    pumpRunning_ = false;
    --holders_;
  }
  const uint32_t idle = worker_->options().idleTimeoutMs;
  while (!stopForced_) {
    if (out_.Held() > 0) {
      Io io = co_await WriteClient(out_.data + out_.begin, out_.Held());
      if (io != Io::kOk) break;
      tunnelActivityMs_ = NowMs();
    }
    out_.begin = out_.end = 0;
    uint32_t got = 0;
    Io io = co_await Read(upstream_->socket, kUpstreamRead, tunnelActivityMs_ + idle, out_.Free(),
                          out_.FreeSpace(), &got, true);
    if (io == Io::kTimeout && NowMs() < tunnelActivityMs_ + idle) {
      // The other direction was busy: the tunnel is not idle.
      expired_ &= ~(1u << kUpstreamRead);
      continue;
    }
    if (io != Io::kOk) {
      if (io == Io::kEof) ::shutdown(client_.native_handle(), SHUT_WR);
      break;
    }
    out_.end += got;
  }
  if (pumpRunning_) {
    // Give the other direction the idle time to finish, then end it.
    std::error_code ignored;
    if (stopForced_) client_.cancel(ignored);
    while (pumpRunning_) co_await pumpDone_->async_wait(kTuple);
  }
  metrics.tunnelsOpen.Sub();
  co_return Relay::kTunnelled;
}

awaitable<void> Session::TunnelClientToUpstream() {
  const uint32_t idle = worker_->options().idleTimeoutMs;
  while (!stopForced_) {
    if (in_.Held() > 0) {
      Io io = co_await Write(upstream_->socket, kUpstreamWrite, idle, in_.data + in_.begin,
                             in_.Held());
      if (io != Io::kOk) break;
      tunnelActivityMs_ = NowMs();
    }
    in_.begin = in_.end = 0;
    if (!AcquireBuffer(&worker_->pool(), &in_)) break;
    uint32_t got = 0;
    Io io = co_await Read(client_, kClientRead, tunnelActivityMs_ + idle, in_.Free(),
                          in_.FreeSpace(), &got, true);
    if (io == Io::kTimeout && NowMs() < tunnelActivityMs_ + idle) {
      expired_ &= ~(1u << kClientRead);
      continue;
    }
    if (io != Io::kOk) {
      if (io == Io::kEof && upstream_) ::shutdown(upstream_->socket.native_handle(), SHUT_WR);
      break;
    }
    in_.end += got;
    worker_->metrics().bytesIn.Add(got);
  }
}

}  // namespace rg::proxy
