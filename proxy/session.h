// One client connection: screening every request before any of it goes
// upstream, and relaying the responses back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "engine/engine.h"
#include "frame/framer.h"
#include "proxy/buffer.h"
#include "proxy/metrics.h"
#include "proxy/worker.h"

namespace rg::proxy {

// The deadlines a connection may be waiting under; the worker's sweep checks
// them and cancels the socket's waits once one has passed.
enum Slot : uint32_t { kClientRead = 0, kClientWrite = 1, kUpstreamRead = 2, kUpstreamWrite = 3 };
constexpr uint32_t kSlotCount = 4;

// How an I/O step ended.
enum class Io : uint32_t { kOk, kEof, kError, kTimeout, kAborted };

class Session {
 public:
  Session(Worker* worker, asio::ip::tcp::socket socket);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  asio::awaitable<void> Run();

  // Called by the worker's sweep: cancels the waits whose deadline passed.
  void CheckDeadlines(int64_t nowMs);
  // Called by the worker when it stops: idle connections and tunnels close
  // now; exchanges in flight finish (force: close them too).
  void OnStop(bool force);

  // Two coroutines may hold the session (the exchange and a body pump); the
  // last one to finish deletes it.
  void Hold() { ++holders_; }
  void Let();

  Session* prev = nullptr;
  Session* next = nullptr;

 private:
  enum class Phase : uint32_t { kIdle, kActive, kTunnel };
  // How a step of the exchange ended.
  enum class Step : uint32_t { kNext, kClose };
  enum class Relay : uint32_t { kDone, kRetry, kFailed, kTunnelled };

  asio::awaitable<Step> ReadRequestHead();
  asio::awaitable<Step> Exchange();
  asio::awaitable<Relay> RelayResponse(bool reused, bool retryable);
  asio::awaitable<void> PumpBody();
  asio::awaitable<Relay> Tunnel();
  asio::awaitable<void> TunnelClientToUpstream();
  asio::awaitable<Io> ConnectUpstream();

  // Takes the held bytes not yet taken: the engine screens them first and
  // says where the request ends; the framer follows over exactly those bytes
  // and must find the same boundaries. False on a refusal (see refusal_).
  bool TakeHeld();
  // Screens bytes of the current request; a rejection is logged, and one
  // Simulate mode lets through ends screening of this request.
  Verdict ScreenBytes(const char* bytes, uint32_t length);
  // Counts the request as screened and records its screening time, once.
  void FinishScreening();
  // Answers the refusal in refusal_: logs what is not logged yet, writes the
  // 400 page unless a final response has started, and ends the connection.
  asio::awaitable<Step> Refuse();
  void SetProxyRefusal(ProxyRefusal refusal);
  asio::awaitable<void> WriteBlockPage();
  asio::awaitable<void> WriteGatewayError(uint32_t status);
  asio::awaitable<void> LingeringClose();

  // I/O with deadlines; reads wait for readiness first when waitFirst is
  // set (nothing is expected yet, so a read would only find nothing).
  asio::awaitable<Io> Read(asio::ip::tcp::socket& socket, Slot slot, int64_t deadlineMs,
                           char* into, uint32_t size, uint32_t* got, bool waitFirst);
  asio::awaitable<Io> Write(asio::ip::tcp::socket& socket, Slot slot, uint32_t timeoutMs,
                            const char* bytes, uint32_t length);
  asio::awaitable<Io> WaitFor(asio::ip::tcp::socket& socket, bool writable, Slot slot,
                              int64_t deadlineMs);
  // A read the event loop performs itself when the socket is ready: no
  // syscall to arm the wait, as the socket stays registered for reading.
  asio::awaitable<Io> ReadReady(asio::ip::tcp::socket& socket, Slot slot, int64_t deadlineMs,
                                char* into, uint32_t size, uint32_t* got);
  asio::awaitable<Io> WriteClient(const char* bytes, uint32_t length);

  void AbortUpstream();
  void ReturnUpstream();
  void CountClientTimeout();

  Worker* worker_;
  asio::ip::tcp::socket client_;
  std::string clientAddress_;
  Screening* screening_ = nullptr;
  EnginePolicy* policy_ = nullptr;  // the screening's policy
  ServerHeaderAction serverAction_ = ServerHeaderAction::kKeep;
  const char* serverText_ = nullptr;
  Phase phase_ = Phase::kActive;

  // Client side. Offsets count from in_.begin, the first byte of the
  // current request still held.
  Buffer in_;
  // The first bytes of the next request land here, so that a connection
  // waiting between requests holds no pooled buffer.
  char first_[512];
  uint32_t inScanned_ = 0;      // held bytes screened and framed, not yet forwarded
  uint32_t requestTaken_ = 0;   // bytes of the current request screened and framed so far
  uint32_t headLength_ = 0;     // the current request's head, once headSeen_
  bool headSeen_ = false;
  bool heldForRetry_ = false;   // the whole request is still in in_, forwarded once
  uint32_t heldLength_ = 0;     // ...this long
  Framer requestFramer_{};
  FrameHead requestHead_{};
  bool requestComplete_ = false;  // the request's last byte has been taken
  bool requestKeepAlive_ = false;
  bool screeningOff_ = false;     // a simulated rejection ended screening of this request
  bool wantTunnel_ = false;
  bool screeningObserved_ = false;
  uint64_t screenNs_ = 0;

  // Why the current request was refused.
  enum class Refusal : uint32_t { kNone, kVerdict, kFraming, kProxy };
  Refusal refusal_ = Refusal::kNone;
  Verdict refusedVerdict_{};
  FrameError refusedFraming_ = FrameError::kNone;
  ProxyRefusal refusedByProxy_ = ProxyRefusal::kCount;

  // Upstream side.
  std::unique_ptr<Upstream> upstream_;
  Buffer out_;
  Framer responseFramer_{};
  uint32_t finalStatus_ = 0;
  bool responseKeepAlive_ = false;
  uint64_t clientResponseBytes_ = 0;  // of the current exchange
  bool finalStarted_ = false;  // the client has had bytes of the final response (or a page)
  bool closeAfter_ = false;    // the connection ends after this exchange
  bool linger_ = false;        // drain what the client still sends before closing
  int64_t tunnelActivityMs_ = 0;

  // Between the exchange and its body pump.
  bool pumpRunning_ = false;
  bool finalResponseDone_ = false;  // the final response has been relayed whole
  bool bodyRefused_ = false;        // the pump refused the body (refusal_ says why)
  bool clientGone_ = false;         // the client closed or failed mid-body
  bool upstreamWriteFailed_ = false;
  std::unique_ptr<asio::steady_timer> pumpDone_;

  int64_t deadlines_[kSlotCount] = {0, 0, 0, 0};
  uint32_t expired_ = 0;  // bit per Slot
  bool stopForced_ = false;
  uint32_t holders_ = 0;
};

}  // namespace rg::proxy
