#include "ravelgard/framing.h"

#include <cstdint>
#include <string>

namespace rg::tool {

namespace {

constexpr std::string_view kCrLf = "\r\n";

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x | 0x20);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y | 0x20);
    if (x != y) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

enum class BodyKind { kNone, kLength, kChunked, kUnframed };

struct BodyFraming {
  BodyKind kind;
  uint64_t length;
};

// Reads the header lines (between the request line and the empty line) for
// Transfer-Encoding and Content-Length.
BodyFraming ReadFraming(std::string_view headerBlock) {
  bool haveLength = false, haveCoding = false, chunked = false;
  uint64_t length = 0;
  size_t lineStart = headerBlock.find(kCrLf);
  while (lineStart != std::string_view::npos) {
    lineStart += 2;
    size_t lineEnd = headerBlock.find(kCrLf, lineStart);
    std::string_view line = headerBlock.substr(
        lineStart, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - lineStart);
    lineStart = lineEnd;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = TrimBlanks(line.substr(0, colon));
    std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (EqualsNoCase(name, "Transfer-Encoding")) {
      haveCoding = true;
      // Only the last coding decides whether the body is chunked.
      size_t comma = value.rfind(',');
      std::string_view last = TrimBlanks(comma == std::string_view::npos ? value
                                                                         : value.substr(comma + 1));
      chunked = EqualsNoCase(last, "chunked");
    } else if (EqualsNoCase(name, "Content-Length")) {
      if (value.empty() || value.size() > 18) return {BodyKind::kUnframed, 0};
      uint64_t n = 0;
      for (char c : value) {
        if (c < '0' || c > '9') return {BodyKind::kUnframed, 0};
        n = n * 10 + static_cast<uint64_t>(c - '0');
      }
      if (haveLength && n != length) return {BodyKind::kUnframed, 0};
      haveLength = true;
      length = n;
    }
  }
  if (haveCoding) return {chunked ? BodyKind::kChunked : BodyKind::kUnframed, 0};
  if (haveLength) return {BodyKind::kLength, length};
  return {BodyKind::kNone, 0};
}

enum class ChunkResult { kEnd, kIncomplete, kMalformed };

// Walks a chunked body starting at pos; on kEnd, *end is the index just
// after the last CR LF of the trailer section.
ChunkResult WalkChunks(std::string_view data, size_t pos, size_t* end) {
  for (;;) {
    size_t lineEnd = data.find(kCrLf, pos);
    if (lineEnd == std::string_view::npos) return ChunkResult::kIncomplete;
    uint64_t size = 0;
    size_t digits = 0;
    size_t i = pos;
    for (; i < lineEnd; ++i, ++digits) {
      char c = data[i];
      int v = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (v < 0) break;
      if (digits >= 15) return ChunkResult::kMalformed;
      size = size * 16 + static_cast<uint64_t>(v);
    }
    if (digits == 0) return ChunkResult::kMalformed;
    if (i < lineEnd && data[i] != ';' && data[i] != ' ' && data[i] != '\t')
      return ChunkResult::kMalformed;
    pos = lineEnd + 2;
    if (size == 0) break;
    if (data.size() - pos < size + 2) return ChunkResult::kIncomplete;
    pos += size;
    if (data.substr(pos, 2) != kCrLf) return ChunkResult::kMalformed;
    pos += 2;
  }
  // Trailer fields, up to the empty line.
  for (;;) {
    size_t lineEnd = data.find(kCrLf, pos);
    if (lineEnd == std::string_view::npos) return ChunkResult::kIncomplete;
    bool empty = (lineEnd == pos);
    pos = lineEnd + 2;
    if (empty) break;
  }
  *end = pos;
  return ChunkResult::kEnd;
}

bool OnlyLineEnds(std::string_view s) {
  return s.find_first_not_of("\r\n") == std::string_view::npos;
}

}  // namespace

std::vector<RequestSpan> SplitRequests(std::string_view data) {
  std::vector<RequestSpan> spans;
  size_t pos = 0;
  while (pos < data.size() && !(spans.size() > 0 && OnlyLineEnds(data.substr(pos)))) {
    size_t rest = data.size() - pos;
    // The search starts after a leading CR LF, which a server skips before a
    // request line, so that it cannot pose as the empty line.
    size_t searchFrom = (data.substr(pos, 2) == kCrLf) ? pos + 2 : pos;
    size_t headersEnd = data.find("\r\n\r\n", searchFrom);
    if (headersEnd == std::string_view::npos) {
      spans.push_back({pos, rest, false});
      break;
    }
    size_t bodyStart = headersEnd + 4;
    BodyFraming framing = ReadFraming(data.substr(searchFrom, headersEnd + 2 - searchFrom));
    size_t end = bodyStart;
    bool complete = true;
    switch (framing.kind) {
      case BodyKind::kNone:
        break;
      case BodyKind::kLength:
        if (framing.length > data.size() - bodyStart) {
          end = data.size();
          complete = false;
        } else {
          end = bodyStart + static_cast<size_t>(framing.length);
        }
        break;
      case BodyKind::kChunked: {
        ChunkResult r = WalkChunks(data, bodyStart, &end);
        if (r != ChunkResult::kEnd) {
          end = data.size();
          complete = (r == ChunkResult::kMalformed);
        }
        break;
      }
      case BodyKind::kUnframed:
        end = data.size();
        break;
    }
    spans.push_back({pos, end - pos, complete});
    pos = end;
  }
  return spans;
}

}  // namespace rg::tool
