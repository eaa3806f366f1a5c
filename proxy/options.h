// The command line of `ravelgard serve` and the addresses it names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

namespace rg::proxy {

// One resolved socket address.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

// An address as the user wrote it ("0.0.0.0:8080", "[::1]:8080",
// "backend.local:80") and what it resolves to, in resolver order.
struct Endpoint {
  std::string text;
  std::vector<SocketAddress> addresses;
};

struct ServeOptions {
  std::string iniPath;
  Endpoint listen;
  Endpoint upstream;
  uint32_t threads = 0;  // 0: one per core
  std::string logDirectory;  // empty: the policy's own
  bool hasAdmin = false;
  Endpoint admin;
  bool hasServerSoftware = false;
  std::string serverSoftware;  // banner of the 400 page and of our own 502/504
  bool addForwarded = false;
  uint32_t headerTimeoutMs = 10'000;
  uint32_t idleTimeoutMs = 60'000;
  uint32_t upstreamTimeoutMs = 60'000;
  uint32_t maxConnections = 10'000;
  bool help = false;
};

// Parses the arguments after "serve" (argv[0] is "serve"). Returns true with
// *options filled in, or false with one sentence in *error. Host names are
// resolved here, so a name that does not resolve is a usage error.
bool ParseServeOptions(int argc, char** argv, ServeOptions* options, std::string* error);

// Splits "host:port", "[v6]:port" or "v4:port" and resolves it (numeric
// hosts without a lookup). Returns true, or false with a sentence in *error.
bool ResolveEndpoint(const std::string& text, bool passive, Endpoint* out, std::string* error);

// Parses seconds as "10", "0.5" or "2.25" into milliseconds (at most a day).
bool ParseSeconds(const std::string& text, uint32_t* milliseconds);

// "127.0.0.1:8080" or "[::1]:8080" for an address; the host part alone with
// withPort false (what the log and X-Forwarded-For record).
std::string FormatAddress(const sockaddr* address, bool withPort);

extern const char kServeUsage[];

}  // namespace rg::proxy
