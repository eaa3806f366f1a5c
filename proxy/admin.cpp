#include "proxy/admin.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace rg::proxy {

namespace {

constexpr int kPollMs = 200;
constexpr int kClientMs = 2000;
constexpr size_t kMaxRequest = 8192;

void SendAll(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

std::string Response(const char* status, const char* type, const std::string& body) {
  std::string text = "HTTP/1.1 ";
  text += status;
  text += "\r\nContent-Type: ";
  text += type;
  text += "\r\nContent-Length: ";
  text += std::to_string(body.size());
  text += "\r\nConnection: close\r\n\r\n";
  text += body;
  return text;
}

}  // namespace

int AdminServer::Listen(const SocketAddress& address) {
  int family = address.storage.ss_family;
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return errno;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0 ||
      ::listen(fd, 64) != 0) {
    int error = errno;
    ::close(fd);
    return error;
  }
  listenFd_ = fd;
  return 0;
}

std::string AdminServer::BoundAddress() const {
  sockaddr_storage actual{};
  socklen_t length = sizeof actual;
  if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&actual), &length) != 0) return "";
  return FormatAddress(reinterpret_cast<sockaddr*>(&actual), true);
}

void AdminServer::Start() {
  if (listenFd_ < 0) return;
  thread_ = std::thread([this] { Loop(); });
}

void AdminServer::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
}

void AdminServer::Loop() {
  while (!stop_.load()) {
    pollfd p{listenFd_, POLLIN, 0};
    int ready = ::poll(&p, 1, kPollMs);
    if (ready <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    timeval timeout{kClientMs / 1000, (kClientMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    Serve(fd);
    ::close(fd);
  }
}

void AdminServer::Serve(int fd) {
  std::string request;
  char block[2048];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequest) {
    ssize_t n = ::recv(fd, block, sizeof block, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    request.append(block, static_cast<size_t>(n));
  }
  std::string_view line(request);
  line = line.substr(0, line.find("\r\n"));
  size_t space = line.find(' ');
  std::string_view method = line.substr(0, space);
  std::string_view target =
      space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
  target = target.substr(0, target.find(' '));
  target = target.substr(0, target.find('?'));
  if (method != "GET") {
    SendAll(fd, Response("405 Method Not Allowed", "text/plain", "only GET\n"));
  } else if (target == "/metrics") {
    SendAll(fd, Response("200 OK", "text/plain; version=0.0.4", render_()));
  } else if (target == "/healthz") {
    if (healthy_())
      SendAll(fd, Response("200 OK", "text/plain", "ok\n"));
    else
      SendAll(fd, Response("503 Service Unavailable", "text/plain", "stopping\n"));
  } else {
    SendAll(fd, Response("404 Not Found", "text/plain", "GET /metrics or /healthz\n"));
  }
}

}  // namespace rg::proxy
