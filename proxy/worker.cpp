#include "proxy/worker.h"

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <exception>

#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "proxy/session.h"

namespace rg::proxy {

namespace {

using asio::awaitable;
using asio::ip::tcp;
constexpr auto kTuple = asio::experimental::as_tuple(asio::use_awaitable);

constexpr int64_t kSweepMs = 100;
// Idle upstream connections: how many a thread keeps, how long, and after how
// long idle one is probed before reuse (a peek, to skip one the upstream has
// closed in the meantime).
constexpr size_t kMaxIdleUpstreams = 1024;
constexpr int64_t kUpstreamIdleMs = 30'000;
constexpr int64_t kProbeAfterMs = 100;

// Drops a reference to a policy when a posted hand-over never runs.
struct PolicyRef {
  EnginePolicy* policy;
  explicit PolicyRef(EnginePolicy* p) : policy(p) {}
  PolicyRef(PolicyRef&& other) noexcept : policy(other.policy) { other.policy = nullptr; }
  PolicyRef(const PolicyRef&) = delete;
  ~PolicyRef() { ReleaseEnginePolicy(policy); }
  EnginePolicy* Take() {
    EnginePolicy* p = policy;
    policy = nullptr;
    return p;
  }
};

}  // namespace

int64_t NowMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

void LogError(const char* format, ...) {
  char line[1024] = "ravelgard: ";
  size_t prefix = std::strlen(line);
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, args);
  va_end(args);
  size_t length = prefix + (n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), sizeof line - prefix - 2));
  line[length++] = '\n';
  ssize_t ignored = ::write(STDERR_FILENO, line, length);
  (void)ignored;
}

Worker::Worker(Shared* shared, uint32_t index, EnginePolicy* policy)
    : shared_(shared), index_(index), context_(1), sweepTimer_(context_), policy_(policy) {
  pool_.Reserve();
  idleUpstreams_.reserve(kMaxIdleUpstreams);
}

Worker::~Worker() {
  idleUpstreams_.clear();
  acceptors_.clear();
  ReleaseEnginePolicy(policy_);
}

int Worker::Listen(const SocketAddress& address, uint16_t* port) {
  int family = address.storage.ss_family;
  int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return errno;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  sockaddr_storage bound = address.storage;
  if (*port != 0) {
    if (family == AF_INET)
      reinterpret_cast<sockaddr_in*>(&bound)->sin_port = htons(*port);
    else
      reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port = htons(*port);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&bound), address.length) != 0 ||
      ::listen(fd, 4096) != 0) {
    int error = errno;
    ::close(fd);
    return error;
  }
  sockaddr_storage actual{};
  socklen_t length = sizeof actual;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&actual), &length) == 0) {
    *port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&actual)->sin_port
                                    : reinterpret_cast<sockaddr_in6*>(&actual)->sin6_port);
  }
  auto acceptor = std::make_unique<tcp::acceptor>(context_);
  std::error_code ec;
  acceptor->assign(family == AF_INET6 ? tcp::v6() : tcp::v4(), fd, ec);
  if (ec) {
    ::close(fd);
    return ec.value();
  }
  acceptors_.push_back(std::move(acceptor));
  return 0;
}

namespace {

awaitable<void> AcceptLoop(Worker* worker, tcp::acceptor* acceptor) {
  Shared& shared = worker->shared();
  WorkerMetrics& metrics = worker->metrics();
  asio::steady_timer pause(worker->context());
  int64_t lastAcceptErrorMs = 0;
  for (;;) {
    auto [ec, socket] = co_await acceptor->async_accept(kTuple);
    if (worker->stopping() || !acceptor->is_open()) co_return;
    if (ec) {
      if (ec == asio::error::operation_aborted) co_return;
      // Out of descriptors or memory: say so now and then, and give the
      // connections in flight a moment to finish.
      int64_t now = NowMs();
      if (now - lastAcceptErrorMs >= 1000) {
        lastAcceptErrorMs = now;
        LogError("cannot accept a connection: %s", ec.message().c_str());
      }
      pause.expires_after(std::chrono::milliseconds(50));
      co_await pause.async_wait(kTuple);
      continue;
    }
    uint32_t open = shared.openConnections.fetch_add(1, std::memory_order_relaxed);
    if (open >= shared.options->maxConnections) {
      shared.openConnections.fetch_sub(1, std::memory_order_relaxed);
      metrics.connectionsRefused.Add();
      int64_t now = NowMs();
      int64_t last = shared.lastLimitMessageMs.load(std::memory_order_relaxed);
      if (now - last >= 1000 &&
          shared.lastLimitMessageMs.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
        LogError("%u connections are open, the limit set by --max-connections: new connections "
                 "are closed at once until some end",
                 shared.options->maxConnections);
      }
      std::error_code ignored;
      socket.close(ignored);
      continue;
    }
    metrics.connectionsAccepted.Add();
    metrics.connectionsOpen.Add();
    StartSession(worker, std::move(socket));
  }
}

}  // namespace

void Worker::StartAccepting() {
  for (auto& acceptor : acceptors_) {
    asio::co_spawn(context_, AcceptLoop(this, acceptor.get()), [](std::exception_ptr error) {
      if (error) LogError("the accept loop of a thread ended on an internal error");
    });
  }
}

void Worker::ArmSweep() {
  sweepTimer_.expires_after(std::chrono::milliseconds(kSweepMs));
  sweepTimer_.async_wait([this](const std::error_code& ec) {
    if (ec) return;
    Sweep();
  });
}

void Worker::Sweep() {
  int64_t now = NowMs();
  if (stopping_ && !forced_ && now >= stopDeadlineMs_) {
    forced_ = true;
    for (Session* s = sessions_; s != nullptr; s = s->next) s->OnStop(true);
  }
  // Cancelling only posts the waits' completions, so the list stays as it is
  // while we walk it.
  for (Session* s = sessions_; s != nullptr; s = s->next) s->CheckDeadlines(now);
  size_t stale = 0;
  while (stale < idleUpstreams_.size() && now - idleUpstreams_[stale]->idleSinceMs >= kUpstreamIdleMs)
    ++stale;
  if (stale > 0) idleUpstreams_.erase(idleUpstreams_.begin(), idleUpstreams_.begin() + stale);
  if (stopping_ && sessions_ == nullptr) {
    // Nothing left: without the timer and the listeners the loop runs out of
    // work and the thread ends.
    idleUpstreams_.clear();
    return;
  }
  ArmSweep();
}

void Worker::Run() {
  // "ravelgard/N" in top -H and in a debugger.
  char name[16];
  std::snprintf(name, sizeof name, "ravelgard/%u", index_);
  pthread_setname_np(pthread_self(), name);
  StartAccepting();
  ArmSweep();
  for (;;) {
    try {
      context_.run();
      break;
    } catch (const std::exception& e) {
      LogError("an event loop handler failed: %s", e.what());
    } catch (...) {
      LogError("an event loop handler failed");
    }
  }
}

void Worker::PostPolicy(EnginePolicy* policy) {
  asio::post(context_, [this, ref = PolicyRef(policy)]() mutable {
    ReleaseEnginePolicy(policy_);
    policy_ = ref.Take();
  });
}

void Worker::PostStop(int64_t deadlineMs) {
  asio::post(context_, [this, deadlineMs] {
    if (stopping_) {
      // A second request to stop: do not wait for the exchanges in flight.
      stopDeadlineMs_ = 0;
      return;
    }
    stopping_ = true;
    stopDeadlineMs_ = deadlineMs;
    for (auto& acceptor : acceptors_) {
      std::error_code ignored;
      acceptor->close(ignored);
    }
    idleUpstreams_.clear();
    for (Session* s = sessions_; s != nullptr; s = s->next) s->OnStop(false);
  });
}

std::unique_ptr<Upstream> Worker::TakeUpstream(bool* reused) {
  *reused = false;
  int64_t now = NowMs();
  while (!idleUpstreams_.empty()) {
    std::unique_ptr<Upstream> upstream = std::move(idleUpstreams_.back());
    idleUpstreams_.pop_back();
    if (now - upstream->idleSinceMs >= kProbeAfterMs) {
      char byte;
      ssize_t n = ::recv(upstream->socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
      // Closed, failed, or talking out of turn: not a connection to reuse.
      if (!(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) continue;
    }
    *reused = true;
    return upstream;
  }
  return nullptr;
}

void Worker::GiveUpstream(std::unique_ptr<Upstream> upstream) {
  if (stopping_ || idleUpstreams_.size() >= kMaxIdleUpstreams) return;
  upstream->idleSinceMs = NowMs();
  idleUpstreams_.push_back(std::move(upstream));
}

void Worker::Attach(Session* session) {
  session->prev = nullptr;
  session->next = sessions_;
  if (sessions_ != nullptr) sessions_->prev = session;
  sessions_ = session;
}

void Worker::Detach(Session* session) {
  if (session->prev != nullptr)
    session->prev->next = session->next;
  else
    sessions_ = session->next;
  if (session->next != nullptr) session->next->prev = session->prev;
  session->prev = session->next = nullptr;
}

}  // namespace rg::proxy
