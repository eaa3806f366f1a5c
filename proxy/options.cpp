#include "proxy/options.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>
#include <string_view>

namespace rg::proxy {

const char kServeUsage[] =
    "Usage: ravelgard serve -c INI --listen ADDR:PORT --upstream ADDR:PORT [OPTION]...\n"
    "Screen every request with a Ravelgard policy and forward only what passes to an\n"
    "HTTP/1.1 server: a screening reverse proxy.\n"
    "\n"
    "  -c, --config INI          the policy file (required)\n"
    "  --listen ADDR:PORT        where clients connect (required); IPv4, [IPv6]:port\n"
    "                            or host:port; port 0 picks a free port\n"
    "  --upstream ADDR:PORT      the server requests are forwarded to (required)\n"
    "  --threads N               event-loop threads (default: one per core)\n"
    "  --log DIR                 log directory (default: the policy's own)\n"
    "  --admin ADDR:PORT         serve GET /metrics and GET /healthz there\n"
    "  --server-software TEXT    the server name the 400 page and the proxy's own\n"
    "                            502/504 pages show when the policy keeps banners\n"
    "  --add-forwarded           add X-Forwarded-For with the client address\n"
    "  --header-timeout S        seconds for a request head to arrive (default 10)\n"
    "  --idle-timeout S          seconds a kept-alive connection may idle (default 60)\n"
    "  --upstream-timeout S      seconds to wait on the upstream (default 60)\n"
    "  --max-connections N       client connections at once (default 10000)\n"
    "  -h, --help                show this help\n"
    "\n"
    "SIGTERM or SIGINT stops accepting and lets requests in flight finish; SIGHUP\n"
    "loads the policy again for new connections. Exit status: 0 after a stop,\n"
    "2 on bad usage, a policy that cannot be loaded or an address that cannot be\n"
    "bound.\n";

namespace {

bool TakeValue(int argc, char** argv, int* i, std::string_view name, std::string_view shortName,
               std::string* value, int* status, std::string* error) {
  std::string_view arg = argv[*i];
  if (arg == name || (!shortName.empty() && arg == shortName)) {
    if (*i + 1 >= argc) {
      *error = "option '" + std::string(arg) + "' needs a value";
      *status = -1;
      return false;
    }
    *value = argv[++*i];
    *status = 1;
    return true;
  }
  if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
    *value = std::string(arg.substr(name.size() + 1));
    *status = 1;
    return true;
  }
  *status = 0;
  return false;
}

bool ParseCount(const std::string& text, uint32_t minimum, uint32_t maximum, uint32_t* out) {
  if (text.empty() || text.size() > 9) return false;
  uint32_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  if (n < minimum || n > maximum) return false;
  *out = n;
  return true;
}

}  // namespace

bool ParseSeconds(const std::string& text, uint32_t* milliseconds) {
  uint64_t whole = 0;
  uint64_t fraction = 0;
  uint64_t scale = 1000;
  size_t i = 0;
  size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    whole = whole * 10 + static_cast<uint64_t>(text[i] - '0');
    if (whole > 86400) return false;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
      if (scale > 1) {
        scale /= 10;
        fraction += static_cast<uint64_t>(text[i] - '0') * scale;
      }
    }
  }
  if (i != text.size() || digits == 0) return false;
  uint64_t ms = whole * 1000 + fraction;
  if (ms == 0) return false;
  *milliseconds = static_cast<uint32_t>(ms);
  return true;
}

std::string FormatAddress(const sockaddr* address, bool withPort) {
  char host[INET6_ADDRSTRLEN] = "";
  uint16_t port = 0;
  bool v6 = false;
  if (address->sa_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
  } else if (address->sa_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    // A v4 client on a dual-stack socket is shown as the v4 address it is.
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], host, sizeof host);
    } else {
      inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
      v6 = true;
    }
    port = ntohs(in6->sin6_port);
  }
  if (!withPort) return host;
  // Appended piece by piece: g++ 12 misreads "[" + std::string(...) in
  // Release builds as an overlapping copy (-Wrestrict).
  std::string text;
  if (v6) text += '[';
  text += host;
  if (v6) text += ']';
  text += ':';
  text += std::to_string(port);
  return text;
}

bool ResolveEndpoint(const std::string& text, bool passive, Endpoint* out, std::string* error) {
  std::string host;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *error = "'" + text + "' is not an address: write [IPv6]:port";
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) {
      *error = "'" + text + "' is not an address: write host:port, or [IPv6]:port";
      return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  uint32_t portNumber = 0;
  if (host.empty() || !ParseCount(port, 0, 65535, &portNumber)) {
    *error = "'" + text + "' is not an address: write host:port with a port from 0 to 65535";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
  if (rc != 0 || list == nullptr) {
    *error = "cannot resolve '" + host + "': " + gai_strerror(rc);
    return false;
  }
  out->text = text;
  out->addresses.clear();
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
    SocketAddress address;
    std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
    address.length = a->ai_addrlen;
    out->addresses.push_back(address);
  }
  freeaddrinfo(list);
  if (out->addresses.empty()) {
    *error = "cannot resolve '" + host + "'";
    return false;
  }
  return true;
}

bool ParseServeOptions(int argc, char** argv, ServeOptions* options, std::string* error) {
  std::string listen;
  std::string upstream;
  std::string admin;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string value;
    int status = 0;
    if (arg == "-h" || arg == "--help") {
      options->help = true;
      return true;
    }
    if (arg == "--add-forwarded") {
      options->addForwarded = true;
      continue;
    }
    struct Named {
      const char* name;
      const char* shortName;
    };
    static const Named kValued[] = {
        {"--config", "-c"},        {"--listen", ""},         {"--upstream", ""},
        {"--threads", ""},         {"--log", ""},            {"--admin", ""},
        {"--server-software", ""}, {"--header-timeout", ""}, {"--idle-timeout", ""},
        {"--upstream-timeout", ""}, {"--max-connections", ""},
    };
    const char* matched = nullptr;
    for (const Named& n : kValued) {
      TakeValue(argc, argv, &i, n.name, n.shortName, &value, &status, error);
      if (status < 0) return false;
      if (status > 0) {
        matched = n.name;
        break;
      }
    }
    if (matched == nullptr) {
      if (!arg.empty() && arg[0] == '-')
        *error = "unknown option '" + std::string(arg) + "'; see 'ravelgard serve --help'";
      else
        *error = "unexpected argument '" + std::string(arg) + "'; see 'ravelgard serve --help'";
      return false;
    }
    std::string_view name = matched;
    if (name == "--config") {
      options->iniPath = value;
    } else if (name == "--listen") {
      listen = value;
    } else if (name == "--upstream") {
      upstream = value;
    } else if (name == "--threads") {
      if (!ParseCount(value, 1, 1024, &options->threads)) {
        *error = "--threads needs a number from 1 to 1024, not '" + value + "'";
        return false;
      }
    } else if (name == "--log") {
      if (value.empty()) {
        *error = "--log needs a directory";
        return false;
      }
      options->logDirectory = value;
    } else if (name == "--admin") {
      admin = value;
      options->hasAdmin = true;
    } else if (name == "--server-software") {
      if (value.size() > 254 || value.find_first_of("\r\n") != std::string::npos) {
        *error = "--server-software needs one line of at most 254 characters";
        return false;
      }
      options->hasServerSoftware = true;
      options->serverSoftware = value;
    } else if (name == "--max-connections") {
      if (!ParseCount(value, 1, 10'000'000, &options->maxConnections)) {
        *error = "--max-connections needs a number from 1 to 10000000, not '" + value + "'";
        return false;
      }
    } else {
      uint32_t* target = name == "--header-timeout" ? &options->headerTimeoutMs
                         : name == "--idle-timeout" ? &options->idleTimeoutMs
                                                    : &options->upstreamTimeoutMs;
      if (!ParseSeconds(value, target)) {
        *error = std::string(name) + " needs a number of seconds above 0, such as 10 or 0.5, not '" +
                 value + "'";
        return false;
      }
    }
  }
  if (options->iniPath.empty()) {
    *error = "no policy given: name the INI file with -c";
    return false;
  }
  if (listen.empty()) {
    *error = "no listening address given: name it with --listen ADDR:PORT";
    return false;
  }
  if (upstream.empty()) {
    *error = "no upstream given: name the server to forward to with --upstream ADDR:PORT";
    return false;
  }
  if (!ResolveEndpoint(listen, true, &options->listen, error)) return false;
  if (!ResolveEndpoint(upstream, false, &options->upstream, error)) return false;
  if (options->hasAdmin && !ResolveEndpoint(admin, true, &options->admin, error)) return false;
  return true;
}

}  // namespace rg::proxy
