// The byte searches at every level the processor offers (the portable one
// always), held against a reference that tests each byte by its definition.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "scan/byte_scan.h"

namespace rg {
namespace {

struct Search {
  const char* name;
  ByteScanResult (*scan)(const uint8_t*, uint32_t, uint32_t);
  std::function<bool(uint8_t)> stops;
  std::function<bool(uint8_t)> flags;  // null: the search flags nothing
};

bool ControlOrHigh(uint8_t b) { return b < 0x20 || b >= 0x80; }
bool NameByte(uint8_t b) {
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '-';
}

const std::vector<Search>& Searches() {
  static const std::vector<Search> searches = {
      {"carriage return", ScanCarriageReturn, [](uint8_t b) { return b == '\r'; }, nullptr},
      {"URL", ScanUrlBytes, [](uint8_t b) { return b == ' ' || b == '?' || b == '#'; },
       [](uint8_t b) { return ControlOrHigh(b) || b == '%'; }},
      {"query", ScanQueryBytes, [](uint8_t b) { return b == ' '; },
       [](uint8_t b) { return ControlOrHigh(b) || b == '%'; }},
      {"header name", ScanHeaderNameBytes, [](uint8_t b) { return b == ':' || b == '\r'; },
       [](uint8_t b) { return !NameByte(b); }},
      {"header value", ScanHeaderValueBytes, [](uint8_t b) { return b == '\r'; },
       [](uint8_t b) { return ControlOrHigh(b) || b == 0x7F || b == '"' || b == '\\'; }},
      {"line break", ScanLineBreak, [](uint8_t b) { return b == '\r' || b == '\n'; }, nullptr},
      {"field break", ScanFieldBreak,
       [](uint8_t b) { return b == ' ' || b == '\t' || b == ':' || b == '\r' || b == '\n'; },
       nullptr},
      {"start-line break", ScanStartLineBreak,
       [](uint8_t b) { return b == ' ' || b == '\r' || b == '\n'; }, nullptr},
  };
  return searches;
}

ByteScanResult Reference(const Search& s, const std::vector<uint8_t>& bytes, uint32_t from,
                         uint32_t end) {
  bool flagged = false;
  for (uint32_t i = from; i < end; ++i) {
    if (s.stops(bytes[i])) return {i, flagged};
    if (s.flags && s.flags(bytes[i])) flagged = true;
  }
  return {end, flagged};
}

std::vector<ByteScanLevel> Levels() {
  std::vector<ByteScanLevel> levels;
  for (ByteScanLevel l : {ByteScanLevel::kPortable, ByteScanLevel::kSse2, ByteScanLevel::kAvx2})
    if (static_cast<uint32_t>(l) <= static_cast<uint32_t>(ByteScanBestLevel())) levels.push_back(l);
  return levels;
}

struct LevelGuard {
  ByteScanLevel before;
  explicit LevelGuard(ByteScanLevel l) : before(SetByteScanLevel(l)) {}
  ~LevelGuard() { SetByteScanLevel(before); }
};

// Every byte value as the one stop or flag, at every offset of buffers of
// up to 70 bytes (so the vector loops, their last overlapping vector and
// the narrow-buffer path all meet it), searched from several starts.
TEST(ByteScan, EveryByteAtEveryOffset) {
  for (ByteScanLevel level : Levels()) {
    LevelGuard guard(level);
    ASSERT_EQ(ByteScanActiveLevel(), level);
    for (const Search& s : Searches()) {
      SCOPED_TRACE(std::string(s.name) + " level " + std::to_string(static_cast<int>(level)));
      for (uint32_t size : {1u, 2u, 3u, 7u, 8u, 15u, 16u, 17u, 24u, 31u, 32u, 33u, 40u, 47u, 48u,
                            63u, 64u, 65u, 70u}) {
        for (int b = 0; b < 256; ++b) {
          for (uint32_t at = 0; at < size; ++at) {
            // 'a' neither stops nor is flagged by any search.
            std::vector<uint8_t> bytes(size, 'a');
            bytes[at] = static_cast<uint8_t>(b);
            for (uint32_t from : {0u, at / 2, at, size}) {
              ByteScanResult got = s.scan(bytes.data(), from, size);
              ByteScanResult want = Reference(s, bytes, from, size);
              ASSERT_EQ(got.at, want.at) << "byte " << b << " at " << at << " size " << size
                                         << " from " << from;
              ASSERT_EQ(got.flagged, want.flagged) << "byte " << b << " at " << at << " size "
                                                   << size << " from " << from;
            }
          }
        }
      }
    }
  }
}

// The line search is the name search, then after a ':' the value search up
// to the last byte but one. A value's flag only counts where it ended.
void ExpectLineAsReference(const std::vector<uint8_t>& exact, uint32_t from, uint32_t end,
                           const HeaderLineScan& line) {
  ByteScanResult name = Reference(Searches()[3], exact, from, end);
  ASSERT_EQ(line.nameEnd, name.at);
  ASSERT_EQ(line.nameFlagged, name.flagged);
  uint32_t valueEnd = end;
  bool valueFlagged = true;
  if (name.at + 1 < end && exact[name.at] == ':') {
    ByteScanResult value = Reference(Searches()[4], exact, name.at + 1, end - 1);
    if (value.at < end - 1) {
      valueEnd = value.at;
      valueFlagged = value.flagged;
    }
  }
  ASSERT_EQ(line.valueEnd, valueEnd);
  if (valueEnd < end) {
    ASSERT_EQ(line.valueFlagged, valueFlagged);
  }
}

// Random buffers over the bytes that matter, with random ends and starts.
TEST(ByteScan, RandomBuffersAgreeWithTheReference) {
  static const char kSpecial[] = "aZ09-_ :?#%\"\\\r\n\t\x7F\x80\xFF\x1F";
  const std::string alphabet = std::string(kSpecial, sizeof kSpecial - 1) + std::string(1, '\0');
  for (ByteScanLevel level : Levels()) {
    LevelGuard guard(level);
    std::mt19937 random(4711);
    for (int round = 0; round < 20000; ++round) {
      std::vector<uint8_t> bytes(random() % 200);
      // Mostly plain text with the odd special byte, as requests are.
      for (uint8_t& b : bytes)
        b = random() % 8 == 0 ? static_cast<uint8_t>(alphabet[random() % alphabet.size()]) : 'x';
      uint32_t end = bytes.empty() ? 0 : static_cast<uint32_t>(random() % (bytes.size() + 1));
      uint32_t from = end == 0 ? 0 : static_cast<uint32_t>(random() % (end + 1));
      // Exactly end bytes are readable: an over-read shows under the
      // address sanitizer.
      std::vector<uint8_t> exact(bytes.begin(), bytes.begin() + end);
      for (const Search& s : Searches()) {
        ByteScanResult got = s.scan(exact.data(), from, end);
        ByteScanResult want = Reference(s, exact, from, end);
        ASSERT_EQ(got.at, want.at) << s.name << " round " << round;
        ASSERT_EQ(got.flagged, want.flagged) << s.name << " round " << round;
      }
      SCOPED_TRACE("round " + std::to_string(round));
      ExpectLineAsReference(exact, from, end, ScanHeaderLine(exact.data(), from, end));
      if (HasFatalFailure()) return;
    }
  }
}

// The line search on header blocks as they come: lines of every length
// around the 64 bytes a line is first classified in, with the ':' and the CR
// on either side of that edge, the odd byte a rule looks at, a CR without
// its LF, and a last line cut short. Each line is held against the
// reference; ScanHeaderLines must give, for any capacity, what
// ScanHeaderLine gives line after line.
TEST(ByteScan, HeaderLinesAgreeWithTheReference) {
  const std::string odd = "\"\\\x01\x7F\x80\t_ %\r:";
  for (ByteScanLevel level : Levels()) {
    LevelGuard guard(level);
    std::mt19937 random(1789);
    for (int round = 0; round < 3000; ++round) {
      std::string block;
      for (uint32_t lines = 1 + random() % 12; lines > 0; --lines) {
        uint32_t nameLength = random() % 4 == 0 ? 50 + random() % 20 : random() % 16;
        uint32_t valueLength = random() % 3 == 0 ? 40 + random() % 100 : random() % 40;
        std::string line(nameLength, 'N');
        line += ':';
        line.append(valueLength, 'v');
        for (uint32_t k = random() % 3; k > 0; --k)
          line[random() % line.size()] = odd[random() % odd.size()];
        block += line + "\r\n";
      }
      if (random() % 2 == 0) block += "\r\n";
      std::vector<uint8_t> exact(block.begin(), block.end());
      exact.resize(exact.size() - random() % 4);  // the last line may be cut
      const uint32_t end = static_cast<uint32_t>(exact.size());
      if (end == 0) continue;
      HeaderLineScan batch[16];
      const uint32_t capacity = 1 + static_cast<uint32_t>(random() % 16);
      const uint32_t count = ScanHeaderLines(exact.data(), 0, end, batch, capacity);
      ASSERT_GE(count, 1u);
      uint32_t at = 0;
      for (uint32_t i = 0;; ++i) {
        SCOPED_TRACE("round " + std::to_string(round) + " line " + std::to_string(i));
        HeaderLineScan line = ScanHeaderLine(exact.data(), at, end);
        ExpectLineAsReference(exact, at, end, line);
        if (HasFatalFailure()) return;
        if (i < count) {
          ASSERT_EQ(batch[i].nameEnd, line.nameEnd);
          ASSERT_EQ(batch[i].nameFlagged, line.nameFlagged);
          ASSERT_EQ(batch[i].valueEnd, line.valueEnd);
          if (line.valueEnd < end) {
            ASSERT_EQ(batch[i].valueFlagged, line.valueFlagged);
          }
        }
        uint32_t next = 0;
        const bool goesOn = NextLineStart(exact.data(), end, line, &next);
        // The batch ends at the first line that does not lead to another,
        // or when it is full.
        if (i + 1 < count) {
          ASSERT_TRUE(goesOn);
        }
        if (i + 1 == count && count < capacity) {
          ASSERT_FALSE(goesOn);
        }
        if (!goesOn) break;
        at = next;
      }
    }
  }
}

uint32_t ReferenceHeadEnd(const std::vector<uint8_t>& b, uint32_t from, uint32_t end) {
  for (uint32_t i = from; i < end; ++i)
    if (b[i] == '\r' && b[i + 1] == '\n' && b[i + 2] == '\r' && b[i + 3] == '\n') return i;
  return end;
}

// The head's end: CR LF CR LF, found among near misses (CR LF CR, LF CR LF,
// CR CR LF LF) in buffers of every size up to 80, read up to end + 3 and
// not a byte further.
TEST(ByteScan, HeadEndAgreesWithTheReference) {
  const char pieces[] = "\r\n\r\nab";
  for (ByteScanLevel level : Levels()) {
    LevelGuard guard(level);
    std::mt19937 random(99);
    for (int round = 0; round < 20000; ++round) {
      std::vector<uint8_t> bytes(3 + random() % 80);
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(pieces[random() % (round % 2 ? 6 : 4)]);
      uint32_t end = static_cast<uint32_t>(bytes.size() - 3);
      uint32_t from = static_cast<uint32_t>(random() % (end + 1));
      ASSERT_EQ(FindHeadEnd(bytes.data(), from, end), ReferenceHeadEnd(bytes, from, end))
          << "round " << round << " level " << static_cast<int>(level);
    }
  }
}

// Sets of every size, high-bit bytes included, against buffers drawn
// mostly from outside the set.
TEST(ByteScan, ByteSetAgreesWithTheReference) {
  for (ByteScanLevel level : Levels()) {
    LevelGuard guard(level);
    std::mt19937 random(2024);
    for (int round = 0; round < 3000; ++round) {
      uint8_t members[256] = {};
      uint32_t size = random() % 40;
      for (uint32_t k = 0; k < size; ++k) members[random() % 256] = 1;
      if (round % 7 == 0) members[0x80 + random() % 128] = 1;
      ByteSet set;
      BuildByteSet(&set, members);
      std::vector<uint8_t> bytes(random() % 150);
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(random() % 256);
      uint32_t end = static_cast<uint32_t>(bytes.size());
      uint32_t from = end == 0 ? 0 : static_cast<uint32_t>(random() % (end + 1));
      uint32_t want = end;
      for (uint32_t i = from; i < end; ++i)
        if (members[bytes[i]]) {
          want = i;
          break;
        }
      ASSERT_EQ(FindByteInSet(bytes.data(), from, end, set), want)
          << "round " << round << " level " << static_cast<int>(level);
    }
  }
}

TEST(ByteScan, LevelsAboveTheBestFallBackToIt) {
  LevelGuard guard(ByteScanLevel::kAvx2);
  EXPECT_EQ(ByteScanActiveLevel(), ByteScanBestLevel());
}

}  // namespace
}  // namespace rg
