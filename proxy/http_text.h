// What the proxy reads and changes in message heads that the framer has
// already accepted: lines end in CR LF, header lines are "name: value".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/engine.h"
#include "proxy/buffer.h"

namespace rg::proxy {

// Calls f(name, value, lineOffset, lineLength) for each header line of a
// complete head (start line excluded; value without surrounding blanks;
// lineLength includes the CR LF). f returns false to stop.
template <typename F>
void ForEachHeader(std::string_view head, F f) {
  size_t line = head.find("\r\n");
  if (line == std::string_view::npos) return;
  line += 2;
  while (line + 2 <= head.size()) {
    size_t eol = head.find("\r\n", line);
    if (eol == std::string_view::npos || eol == line) return;
    std::string_view text = head.substr(line, eol - line);
    size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
      std::string_view name = text.substr(0, colon);
      std::string_view value = text.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
      if (!f(name, value, line, eol + 2 - line)) return;
    }
    line = eol + 2;
  }
}

// ASCII case-insensitive equality.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// What a request's Upgrade headers ask for.
enum class UpgradeRequest : uint32_t {
  kNone = 0,       // no Upgrade header
  kWebSocket = 1,  // every protocol named is "websocket"
  kOther = 2,      // anything else, h2c included
};
UpgradeRequest ClassifyUpgrade(std::string_view head);

// The method of a request head ("GET").
std::string_view RequestMethod(std::string_view head);
// Methods a proxy may send again on a fresh connection when a kept-alive one
// turned out to be closed before any answer came (RFC 9110 9.2.2 safe ones).
bool IsSafeToRetry(std::string_view method);

// Applies the policy's treatment of the Server header to the response head
// at offset `at` (from begin) of buffer, `*length` bytes long, in place;
// *length follows. Returns false when the buffer cannot hold a longer head
// within limit (the head is then unchanged).
bool ApplyServerHeader(BufferPool* pool, Buffer* buffer, uint32_t at, uint32_t* length,
                       ServerHeaderAction action, const char* text, uint32_t limit);

// Makes the response head at offset `at` say "Connection: close": any
// Connection and Keep-Alive lines go, one "Connection: close" comes last.
bool SetConnectionClose(BufferPool* pool, Buffer* buffer, uint32_t at, uint32_t* length,
                        uint32_t limit);

// Appends "X-Forwarded-For: client" to the request head at offset `at`.
bool AppendForwardedFor(BufferPool* pool, Buffer* buffer, uint32_t at, uint32_t* length,
                        std::string_view client, uint32_t limit);

// A complete response of the proxy's own (502, 504) with its Server line
// (serverText null: none) and "Connection: close" when close is set.
std::string GatewayResponse(uint32_t status, const char* serverText, bool close);

}  // namespace rg::proxy
