#include "response_head.h"

#include <cstring>

namespace rg::apache {

namespace {

constexpr char kServerName[] = "server:";
constexpr size_t kServerNameLength = sizeof kServerName - 1;
constexpr char kServerLine[] = "Server: ";
constexpr size_t kServerLineLength = sizeof kServerLine - 1;

bool IsServerLine(const char* line, size_t length) {
  if (length < kServerNameLength) return false;
  for (size_t i = 0; i < kServerNameLength; ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kServerName[i]) return false;
  }
  return true;
}

// The end of the line that starts at from: the index of its CR LF, or
// length when the line runs to the end.
size_t LineEnd(const char* head, size_t length, size_t from) {
  for (size_t i = from; i + 1 < length; ++i) {
    if (head[i] == '\r' && head[i + 1] == '\n') return i;
  }
  return length;
}

}  // namespace

// One step of the matcher of "\r\n\r\n": m is how much of it the bytes so
// far end with.
uint32_t StepHeadEnd(uint32_t m, char c) {
  if (c == '\r') return m == 2 ? 3 : 1;
  if (c == '\n' && (m == 1 || m == 3)) return m + 1;
  return 0;
}

bool FindHeadEnd(const char* bytes, size_t length, uint32_t* matched, size_t* used) {
  uint32_t m = *matched;
  size_t i = 0;
  // A match the previous piece began is finished (or broken) byte by byte...
  for (; m != 0 && i < length; ++i) {
    m = StepHeadEnd(m, bytes[i]);
    if (m == 4) {
      *matched = 0;
      *used = i + 1;
      return true;
    }
  }
  // ...the rest is searched at memmem's speed, and the carry for the next
  // piece is what the last three bytes begin of the empty line.
  if (i < length) {
    const void* hit = memmem(bytes + i, length - i, "\r\n\r\n", 4);
    if (hit != nullptr) {
      *matched = 0;
      *used = static_cast<size_t>(static_cast<const char*>(hit) - bytes) + 4;
      return true;
    }
    for (size_t k = length - i > 3 ? length - 3 : i; k < length; ++k) m = StepHeadEnd(m, bytes[k]);
  }
  *matched = m;
  *used = length;
  return false;
}

bool MayBeStatusLine(const char* head, size_t length) {
  static constexpr char kPrefix[] = "HTTP/";
  const size_t n = length < 5 ? length : 5;
  return std::memcmp(head, kPrefix, n) == 0;
}

uint32_t ParseStatus(const char* head, size_t length) {
  // "HTTP/1.1 200": the code is the three digits after the first space.
  const size_t end = LineEnd(head, length, 0);
  size_t i = 0;
  while (i < end && head[i] != ' ') ++i;
  if (i + 4 > end) return 0;
  uint32_t status = 0;
  for (size_t k = i + 1; k < i + 4; ++k) {
    if (head[k] < '0' || head[k] > '9') return 0;
    status = status * 10 + static_cast<uint32_t>(head[k] - '0');
  }
  if (i + 4 < end && head[i + 4] != ' ') return 0;
  return status;
}

size_t RewrittenHeadCapacity(size_t headLength, size_t textLength) {
  return headLength + kServerLineLength + textLength + 2;
}

size_t RewriteServerHeader(const char* head, size_t headLength, ServerHeaderAction action,
                           const char* text, char* out) {
  if (action == ServerHeaderAction::kKeep) {
    std::memcpy(out, head, headLength);
    return headLength;
  }
  const size_t textLength = (action == ServerHeaderAction::kReplace && text) ? std::strlen(text) : 0;
  size_t written = 0;
  auto put = [&](const char* bytes, size_t n) {
    std::memcpy(out + written, bytes, n);
    written += n;
  };
  auto putServerLine = [&] {
    put(kServerLine, kServerLineLength);
    put(text, textLength);
    put("\r\n", 2);
  };

  // The status line stays as it is.
  size_t pos = LineEnd(head, headLength, 0);
  put(head, pos < headLength ? pos + 2 : headLength);
  pos += 2;
  bool dropping = false;  // the header being passed over is a Server: header
  bool placed = false;
  while (pos < headLength) {
    const size_t end = LineEnd(head, headLength, pos);
    const size_t next = end < headLength ? end + 2 : headLength;
    if (end == pos) break;  // the empty line that ends the head
    const bool continuation = head[pos] == ' ' || head[pos] == '\t';
    if (!continuation) dropping = IsServerLine(head + pos, end - pos);
    if (dropping) {
      if (!continuation && action == ServerHeaderAction::kReplace && !placed) {
        putServerLine();
        placed = true;
      }
    } else {
      put(head + pos, next - pos);
    }
    pos = next;
  }
  if (action == ServerHeaderAction::kReplace && !placed) putServerLine();
  // The empty line, and anything after it (a caller passes heads only).
  if (pos < headLength) put(head + pos, headLength - pos);
  return written;
}

}  // namespace rg::apache
