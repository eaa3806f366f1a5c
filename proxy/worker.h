// One event-loop thread of the proxy: its io_context, its listening sockets
// (SO_REUSEPORT: the kernel spreads new connections over the threads), its
// connections, its idle upstream connections and its counters. A connection
// stays on the thread that accepted it, so nothing of a connection is ever
// touched by two threads and no lock is taken on the request path.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "engine/engine.h"
#include "proxy/buffer.h"
#include "proxy/metrics.h"
#include "proxy/options.h"

namespace rg::proxy {

class Session;

// What every thread reads: the options (read-only after start) and the
// process-wide connection count.
struct Shared {
  const ServeOptions* options = nullptr;
  // The banner of the 400 page when the policy leaves it to the server.
  const char* serverSoftware = nullptr;
  std::atomic<uint32_t> openConnections{0};
  std::atomic<int64_t> lastLimitMessageMs{0};
  std::atomic<bool> stopping{false};
  ProcessMetrics process;
};

// A connection to the upstream, idle in the pool or serving one request.
struct Upstream {
  explicit Upstream(asio::io_context& context) : socket(context) {}
  asio::ip::tcp::socket socket;
  int64_t idleSinceMs = 0;
};

// Milliseconds of a coarse monotonic clock: deadlines are checked every
// tenth of a second, so a finer clock would buy nothing.
int64_t NowMs();
// Writes "ravelgard: <message>\n" to standard error in one write.
void LogError(const char* format, ...) __attribute__((format(printf, 1, 2)));

class Worker {
 public:
  Worker(Shared* shared, uint32_t index, EnginePolicy* policy);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Opens a listening socket on address (port as given, or *port when that
  // is not 0: the port the first thread's socket got for a port-0 listen).
  // Call before Run. Returns 0 or an errno value.
  int Listen(const SocketAddress& address, uint16_t* port);
  // The thread body: runs until stopped and every connection is gone.
  void Run();

  // Thread-safe: hands this thread one reference to a new policy for its
  // next connections; the old one is released (open connections keep theirs).
  void PostPolicy(EnginePolicy* policy);
  // Thread-safe: stop accepting, close idle connections, let exchanges in
  // flight finish until deadlineMs, then close what is left.
  void PostStop(int64_t deadlineMs);

  // For the session code on this thread.
  asio::io_context& context() { return context_; }
  Shared& shared() { return *shared_; }
  const ServeOptions& options() const { return *shared_->options; }
  WorkerMetrics& metrics() { return metrics_; }
  const WorkerMetrics& metrics() const { return metrics_; }
  BufferPool& pool() { return pool_; }
  EnginePolicy* policy() const { return policy_; }
  bool stopping() const { return stopping_; }
  char* scratch() { return scratch_; }

  // An idle upstream connection that still looks alive, or null.
  std::unique_ptr<Upstream> TakeUpstream(bool* reused);
  // Returns a connection after a complete exchange for the next request.
  void GiveUpstream(std::unique_ptr<Upstream> upstream);

  void Attach(Session* session);
  void Detach(Session* session);

 private:
  void StartAccepting();
  void Sweep();
  void ArmSweep();

  Shared* shared_;
  uint32_t index_;
  asio::io_context context_;
  std::vector<std::unique_ptr<asio::ip::tcp::acceptor>> acceptors_;
  asio::steady_timer sweepTimer_;
  WorkerMetrics metrics_;
  BufferPool pool_;
  EnginePolicy* policy_;
  std::vector<std::unique_ptr<Upstream>> idleUpstreams_;
  Session* sessions_ = nullptr;  // intrusive list of live connections
  bool stopping_ = false;
  bool forced_ = false;
  int64_t stopDeadlineMs_ = 0;
  char scratch_[4096];  // bytes read only to be dropped

  friend class Session;
};

// Starts the connection's coroutine on its thread; the session owns socket.
void StartSession(Worker* worker, asio::ip::tcp::socket socket);

}  // namespace rg::proxy
