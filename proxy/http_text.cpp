#include "proxy/http_text.h"

#include <cstring>

namespace rg::proxy {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

UpgradeRequest ClassifyUpgrade(std::string_view head) {
  UpgradeRequest kind = UpgradeRequest::kNone;
  ForEachHeader(head, [&](std::string_view name, std::string_view value, size_t, size_t) {
    if (!EqualsIgnoreCase(name, "upgrade")) return true;
    kind = UpgradeRequest::kWebSocket;
    // An empty list names nothing we can tunnel; each member must be
    // websocket, so "websocket, h2c" cannot slip an h2c upgrade through.
    bool any = false;
    while (true) {
      size_t comma = value.find(',');
      std::string_view token = Trim(value.substr(0, comma));
      if (!token.empty()) {
        any = true;
        if (!EqualsIgnoreCase(token, "websocket")) {
          kind = UpgradeRequest::kOther;
          return false;
        }
      }
      if (comma == std::string_view::npos) break;
      value.remove_prefix(comma + 1);
    }
    if (!any) {
      kind = UpgradeRequest::kOther;
      return false;
    }
    return true;
  });
  return kind;
}

std::string_view RequestMethod(std::string_view head) {
  size_t start = 0;
  while (start < head.size() && (head[start] == '\r' || head[start] == '\n')) ++start;
  size_t space = head.find(' ', start);
  if (space == std::string_view::npos) return {};
  return head.substr(start, space - start);
}

bool IsSafeToRetry(std::string_view method) {
  return method == "GET" || method == "HEAD" || method == "OPTIONS";
}

bool ApplyServerHeader(BufferPool* pool, Buffer* buffer, uint32_t at, uint32_t* length,
                       ServerHeaderAction action, const char* text, uint32_t limit) {
  if (action == ServerHeaderAction::kKeep) return true;
  const std::string_view replacement = (action == ServerHeaderAction::kReplace && text != nullptr)
                                           ? std::string_view(text)
                                           : std::string_view();
  // Collect the Server lines first (at most a few), then edit from the back
  // so earlier offsets stay valid.
  constexpr int kMaxLines = 16;
  size_t lines[kMaxLines];
  size_t lineLengths[kMaxLines];
  int count = 0;
  bool tooMany = false;
  std::string_view head(buffer->data + buffer->begin + at, *length);
  ForEachHeader(head, [&](std::string_view name, std::string_view, size_t line, size_t lineLength) {
    if (!EqualsIgnoreCase(name, "server")) return true;
    if (count == kMaxLines) {
      tooMany = true;
      return false;
    }
    lines[count] = line;
    lineLengths[count] = lineLength;
    ++count;
    return true;
  });
  if (tooMany) return false;

  std::string wanted;
  if (action == ServerHeaderAction::kReplace) {
    wanted.reserve(replacement.size() + 10);
    wanted += "Server: ";
    wanted += replacement;
    wanted += "\r\n";
  }
  // Remove every Server line but the first; then replace or remove that one.
  for (int i = count - 1; i >= 1; --i) {
    EraseBytes(buffer, at + static_cast<uint32_t>(lines[i]), static_cast<uint32_t>(lineLengths[i]));
    *length -= static_cast<uint32_t>(lineLengths[i]);
  }
  if (count > 0) {
    uint32_t line = at + static_cast<uint32_t>(lines[0]);
    uint32_t old = static_cast<uint32_t>(lineLengths[0]);
    uint32_t now = static_cast<uint32_t>(wanted.size());
    if (now > old) {
      if (!InsertBytes(pool, buffer, line, wanted.data(), now - old, limit)) return false;
    } else if (now < old) {
      EraseBytes(buffer, line, old - now);
    }
    if (now > 0) std::memcpy(buffer->data + buffer->begin + line, wanted.data(), now);
    *length = *length - old + now;
    return true;
  }
  if (wanted.empty()) return true;
  // No Server line: add one before the empty line that ends the head.
  if (!InsertBytes(pool, buffer, at + *length - 2, wanted.data(),
                   static_cast<uint32_t>(wanted.size()), limit))
    return false;
  *length += static_cast<uint32_t>(wanted.size());
  return true;
}

bool SetConnectionClose(BufferPool* pool, Buffer* buffer, uint32_t at, uint32_t* length,
                        uint32_t limit) {
  // Remove from the back, so that the offsets found stay valid.
  for (;;) {
    size_t found = std::string_view::npos;
    size_t foundLength = 0;
    std::string_view head(buffer->data + buffer->begin + at, *length);
    ForEachHeader(head, [&](std::string_view name, std::string_view, size_t line, size_t lineLength) {
      if (EqualsIgnoreCase(name, "connection") || EqualsIgnoreCase(name, "keep-alive")) {
        found = line;
        foundLength = lineLength;
      }
      return true;
    });
    if (found == std::string_view::npos) break;
    EraseBytes(buffer, at + static_cast<uint32_t>(found), static_cast<uint32_t>(foundLength));
    *length -= static_cast<uint32_t>(foundLength);
  }
  static const char kClose[] = "Connection: close\r\n";
  const uint32_t n = sizeof kClose - 1;
  if (!InsertBytes(pool, buffer, at + *length - 2, kClose, n, limit)) return false;
  *length += n;
  return true;
}

bool AppendForwardedFor(BufferPool* pool, Buffer* buffer, uint32_t at, uint32_t* length,
                        std::string_view client, uint32_t limit) {
  std::string line;
  line.reserve(client.size() + 20);
  line += "X-Forwarded-For: ";
  line += client;
  line += "\r\n";
  if (!InsertBytes(pool, buffer, at + *length - 2, line.data(), static_cast<uint32_t>(line.size()),
                   limit))
    return false;
  *length += static_cast<uint32_t>(line.size());
  return true;
}

std::string GatewayResponse(uint32_t status, const char* serverText, bool close) {
  const char* title = status == 504 ? "504 Gateway Timeout" : "502 Bad Gateway";
  std::string body = "<html><head><title>Error</title></head><body>";
  body += title;
  body += "</body></html>";
  std::string text = "HTTP/1.1 ";
  text += title;
  text += "\r\nContent-Type: text/html\r\nContent-Length: ";
  text += std::to_string(body.size());
  text += "\r\n";
  if (serverText != nullptr) {
    text += "Server: ";
    text += serverText;
    text += "\r\n";
  }
  if (close) text += "Connection: close\r\n";
  text += "\r\n";
  text += body;
  return text;
}

}  // namespace rg::proxy
