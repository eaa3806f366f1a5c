// The admin endpoint: GET /metrics (Prometheus text) and GET /healthz, on a
// thread of its own so that a slow scrape never delays a request.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "proxy/options.h"

namespace rg::proxy {

class AdminServer {
 public:
  // render builds the /metrics text; healthy says whether /healthz is 200.
  AdminServer(std::function<std::string()> render, std::function<bool()> healthy)
      : render_(std::move(render)), healthy_(std::move(healthy)) {}
  ~AdminServer() { Stop(); }
  AdminServer(const AdminServer&) = delete;
  AdminServer& operator=(const AdminServer&) = delete;

  // Binds the address. Returns 0 or an errno value.
  int Listen(const SocketAddress& address);
  std::string BoundAddress() const;
  void Start();
  void Stop();

 private:
  void Loop();
  void Serve(int fd);

  std::function<std::string()> render_;
  std::function<bool()> healthy_;
  int listenFd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace rg::proxy
