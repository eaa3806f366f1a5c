// The canonicalizer: percent escapes, %u escapes, UTF-8 folding, and the
// canonicalize-twice procedure the checks wrap around it.
#include "canon/canon.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "log/reason.h"
#include "platform/platform.h"

namespace rg {
namespace {

// "C0 AF" -> the two bytes C0 AF.
std::string Hex(const char* spaced) {
  std::string out;
  const char* s = spaced;
  while (*s != '\0') {
    if (*s == ' ') {
      ++s;
      continue;
    }
    char pair[3] = {s[0], s[1], 0};
    out.push_back(static_cast<char>(std::strtoul(pair, nullptr, 16)));
    s += 2;
  }
  return out;
}

std::string Printable(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x21 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      out += '<';
      out.push_back(kDigits[c >> 4]);
      out.push_back(kDigits[c & 15]);
      out += '>';
    }
  }
  return out;
}

using Pass = void (*)(uint8_t*, uint32_t*);

// Runs a pass on a heap buffer of exactly the input's size, so that the
// sanitizer build catches any read or write past the text.
std::string RunPass(Pass pass, const std::string& input) {
  std::vector<uint8_t> buffer(input.begin(), input.end());
  uint32_t length = static_cast<uint32_t>(buffer.size());
  pass(buffer.data(), &length);
  EXPECT_LE(length, input.size());
  return std::string(buffer.begin(), buffer.begin() + length);
}

struct CanonCase {
  std::string input;
  std::string expected;
};

TEST(Canonicalize, DecodesAndFoldsOnce) {
  const std::vector<CanonCase> cases = {
      {"", ""},
      {"plain/text.htm", "plain/text.htm"},
      // Two-digit escapes; two bytes after the '%' are enough.
      {"%41", "A"},
      {"%2f", "/"},
      {"%2F", "/"},
      {"x%41", "xA"},
      // A '%' among the last two bytes is kept.
      {"%4", "%4"},
      {"a%4", "a%4"},
      {"%", "%"},
      {"a%", "a%"},
      // An invalid escape loses its '%' and nothing else.
      {"%zz", "zz"},
      {"%4G", "4G"},
      {"%0x", "0x"},
      {"%2541", "%41"},
      {"%%41", "A"},
      {Hex("25 34 00 78"), Hex("34 00 78")},  // a NUL ends the conversion early
      // What strtol accepts decides validity and value.
      {"%00x", Hex("00 78")},
      {"% 9", Hex("09")},
      {"%\t9", Hex("09")},
      {"%-1", Hex("FF")},
      {"%+F", Hex("0F")},
      {"%- ", "- "},
      // %u escapes, fullwidth forms mapped onto ASCII.
      {"%u0041", "A"},
      {"%U0041", "A"},
      {"%uFF0F", "/"},
      {"%uff0e", "."},
      {"%uFF00", " "},
      {"%uFEFF", Hex("FE FF")},
      {"%uFFFF", Hex("01 1F")},
      {"%u012F", Hex("01 2F")},
      {"%u0x2F", "/"},
      {"%u0X2f", "/"},
      {"%u-001", Hex("01 1F")},
      {"%u  2F", "/"},
      {"%u+0x2", Hex("02")},
      {"%u-0x1", Hex("01 1F")},
      // A %u escape needs five bytes after the '%'; otherwise, and when
      // invalid, only the '%' goes and the two-digit form is not tried.
      {"%u004", "u004"},
      {"%u12", "u12"},
      {"%u004x", "u004x"},
      {"%u00411", "A1"},
      {"/%u12G4x", "/u12G4x"},
      {"%u0x 2", "u0x 2"},
      {"%u%41AB", "uAAB"},
      {std::string("%u00") + '\0' + "1x", std::string("u00") + '\0' + "1x"},
      {"%u%u%u", "uu%u"},
      // Folding of UTF-8 forms, overlong ones included.
      {Hex("C0 AF"), "/"},
      {Hex("C0 AE C0 AE"), ".."},
      {Hex("E0 80 AF"), "/"},
      {Hex("F0 80 80 AF"), "/"},
      {Hex("F0 90 80 AF"), "/"},
      {Hex("FC 80 80 80 80 AF"), "/"},
      {Hex("F8 88 80 80 80"), Hex("00")},
      {Hex("C0 80"), Hex("00")},
      {Hex("C1 9C"), "\\"},
      {Hex("C3 A9"), Hex("E9")},
      {Hex("E2 80 AF"), "/"},
      {Hex("C3 A9 C3"), Hex("E9 C3")},
      {Hex("C3 41"), Hex("C3 41")},
      {Hex("80 80"), Hex("80 80")},
      {Hex("E0 80"), Hex("E0 80")},
      {Hex("FE FF"), Hex("FE FF")},
      {Hex("FC 80 80 80 80"), Hex("FC 80 80 80 80")},  // one byte short
      // A cut-short sequence gives back only its lead byte: what follows is
      // examined afresh.
      {Hex("C0 C0 AF"), Hex("C0 2F")},
      {Hex("E0 80 41"), Hex("E0 80 41")},
      {Hex("F0 80 C0 AF"), Hex("F0 80 2F")},
      // The folded output is not folded again.
      {Hex("C3 83 C2 A9"), Hex("C3 A9")},
      // Both passes in one run.
      {"%C0%AF", "/"},
      {"%u00C0%u00AF", "/"},
      {"%25C0%25AF", "%C0%AF"},
      {"%C3%83%C2%A9", Hex("C3 A9")},
      {"/scripts/..%c0%af../cmd.exe", "/scripts/../../cmd.exe"},
  };
  for (const CanonCase& c : cases) {
    EXPECT_EQ(Printable(RunPass(Canonicalize, c.input)), Printable(c.expected))
        << "input " << Printable(c.input);
  }
}

TEST(Canonicalize, LengthZeroTouchesNothing) {
  uint32_t length = 0;
  Canonicalize(nullptr, &length);
  EXPECT_EQ(length, 0u);
  uint8_t byte = '%';
  Canonicalize(&byte, &length);
  EXPECT_EQ(byte, '%');
  EXPECT_EQ(length, 0u);
}

// The decoder, written out step by step with the C library's strtol, as the
// reference for the hand-written conversion.
std::string ReferencePercentDecode(const std::string& in) {
  std::string out;
  const size_t n = in.size();
  size_t p = 0;
  while (p < n) {
    if (in[p] != '%') {
      out.push_back(in[p++]);
      continue;
    }
    if (p + 5 < n && (in[p + 1] == 'u' || in[p + 1] == 'U')) {
      char buf[5] = {in[p + 2], in[p + 3], in[p + 4], in[p + 5], 0};
      char* end = nullptr;
      long r = std::strtol(buf, &end, 16);
      if (end != buf + 4) {
        ++p;
        continue;
      }
      uint32_t v = static_cast<uint32_t>(r);
      if (v > 0xFEFF) v -= 0xFEE0;
      if (v > 0xFF) {
        out.push_back(static_cast<char>((v >> 8) & 0xFF));
        out.push_back(static_cast<char>(v & 0xFF));
      } else {
        out.push_back(static_cast<char>(v));
      }
      p += 6;
      continue;
    }
    if (p + 2 < n) {
      char buf[3] = {in[p + 1], in[p + 2], 0};
      char* end = nullptr;
      long r = std::strtol(buf, &end, 16);
      if (end == buf + 2) {
        out.push_back(static_cast<char>(r & 0xFF));
        p += 3;
      } else {
        ++p;
      }
      continue;
    }
    out.push_back(in[p++]);
  }
  return out;
}

TEST(PercentDecode, EveryTwoByteEscapeAgreesWithStrtol) {
  std::string input = "%..Z";
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      input[1] = static_cast<char>(a);
      input[2] = static_cast<char>(b);
      std::string got = RunPass(PercentDecode, input);
      std::string want = ReferencePercentDecode(input);
      if (got != want) {
        ADD_FAILURE() << "input " << Printable(input) << ": " << Printable(got) << " vs "
                      << Printable(want);
        return;
      }
    }
  }
}

TEST(PercentDecode, FourByteEscapesAgreeWithStrtol) {
  // Every byte that strtol treats specially, plus ordinary neighbours.
  const std::string alphabet = Hex("00 09 0B 0D 20 2B 2D 30 31 39 41 46 47 61 66 67 78 58 75 25 80 FF");
  std::string input = "%u....Z";
  for (char a : alphabet)
    for (char b : alphabet)
      for (char c : alphabet)
        for (char d : alphabet) {
          input[2] = a;
          input[3] = b;
          input[4] = c;
          input[5] = d;
          std::string got = RunPass(PercentDecode, input);
          std::string want = ReferencePercentDecode(input);
          if (got != want) {
            ADD_FAILURE() << "input " << Printable(input) << ": " << Printable(got) << " vs "
                          << Printable(want);
            return;
          }
        }
}

// The folding pass as written: rows 0 to 5 tried in order at every
// position, each only while it fits in the text.
std::string ReferenceFold(const std::string& in) {
  std::string out;
  const size_t n = in.size();
  size_t p = 0;
  const uint8_t* b = reinterpret_cast<const uint8_t*>(in.data());
  while (p < n) {
    bool matched = false;
    for (uint32_t r = 0; r <= 5 && p + r < n; ++r) {
      uint8_t payload[6];
      if (MatchUtf8Row(b + p, r, payload)) {
        out.push_back(static_cast<char>(r == 0 ? b[p] : (payload[r] + payload[r - 1] * 64) % 256));
        p += r + 1;
        matched = true;
        break;
      }
    }
    if (!matched) out.push_back(static_cast<char>(b[p++]));
  }
  return out;
}

TEST(Canonicalize, RandomTextAgreesWithStepByStepDecoding) {
  // Inputs drawn mostly from the bytes that matter: '%', 'u', hex digits,
  // signs, blanks, lead bytes and continuation bytes.
  const std::string alphabet =
      "%%%%uU0fF9x-+ ./aZ" + Hex("00 09 80 8F AF BF C0 C3 DF E0 EF F0 F7 F8 FB FC FD FE FF");
  // Every other round is long and mostly plain, so that long runs of
  // ordinary bytes have to move behind a shrinking escape as well.
  const std::string sparse = alphabet + std::string(200, 'a');
  std::mt19937 rng(12345);
  for (int round = 0; round < 20000; ++round) {
    const std::string& from = round % 2 == 0 ? alphabet : sparse;
    std::string input(round % 2 == 0 ? rng() % 24 : rng() % 300, '\0');
    for (char& c : input) c = from[rng() % from.size()];
    std::string want = ReferenceFold(ReferencePercentDecode(input));
    // Guard bytes behind the text must survive: nothing is written past it.
    std::string buffer = input + "\x5A\x5A\x5A\x5A";
    uint32_t length = static_cast<uint32_t>(input.size());
    Canonicalize(reinterpret_cast<uint8_t*>(buffer.data()), &length);
    ASSERT_EQ(Printable(buffer.substr(0, length)), Printable(want)) << "input " << Printable(input);
    ASSERT_EQ(buffer.substr(input.size()), "\x5A\x5A\x5A\x5A") << "input " << Printable(input);
  }
}

// The checks skip the copy of a text that canonicalization cannot change:
// exactly the texts without '%' and without a byte of 0x80 or above. Every
// byte value at every offset of the word-wise test, and random texts
// against the step-by-step reference.
TEST(CanonicalizeMayChange, ExactlyTextWithPercentOrHighBytes) {
  for (int b = 0; b < 256; ++b) {
    for (size_t at = 0; at < 20; ++at) {
      std::string text(20, 'a');
      text[at] = static_cast<char>(b);
      for (size_t length : {at + 1, size_t{20}}) {
        int expected = b == '%' || b >= 0x80 ? 1 : 0;
        ASSERT_EQ(CanonicalizeMayChange(reinterpret_cast<const uint8_t*>(text.data()),
                                        static_cast<uint32_t>(length)),
                  expected)
            << "byte " << b << " at " << at << " of " << length;
      }
    }
  }
  EXPECT_EQ(CanonicalizeMayChange(nullptr, 0), 0);
  const std::string alphabet = "%uU0fF9x-+ ./aZ" + Hex("00 09 7F 80 C0 FF");
  std::mt19937 rng(777);
  for (int round = 0; round < 20000; ++round) {
    std::string input(rng() % 40, '\0');
    for (char& c : input) c = alphabet[rng() % alphabet.size()];
    if (CanonicalizeMayChange(reinterpret_cast<const uint8_t*>(input.data()),
                              static_cast<uint32_t>(input.size())) == 0) {
      ASSERT_EQ(ReferenceFold(ReferencePercentDecode(input)), input) << Printable(input);
    }
  }
}

TEST(MatchUtf8Row, LeadByteRangesOfTheRows) {
  struct Range {
    uint32_t row;
    int first;
    int last;
  };
  // 80-BF, FE and FF begin no row.
  const std::vector<Range> ranges = {
      {0, 0x00, 0x7F}, {1, 0xC0, 0xDF}, {2, 0xE0, 0xEF},
      {3, 0xF0, 0xF7}, {4, 0xF8, 0xFB}, {5, 0xFC, 0xFD},
  };
  for (const Range& range : ranges) {
    for (int lead = 0; lead < 256; ++lead) {
      uint8_t bytes[6] = {static_cast<uint8_t>(lead), 0x80, 0xBF, 0x80, 0xBF, 0x80};
      int expected = lead >= range.first && lead <= range.last;
      EXPECT_EQ(MatchUtf8Row(bytes, range.row, nullptr), expected)
          << "row " << range.row << " lead " << lead;
    }
  }
}

TEST(MatchUtf8Row, ContinuationsAndPayloads) {
  struct RowCase {
    std::string bytes;
    uint32_t row;
    int matches;
    std::string payload;
  };
  const std::vector<RowCase> cases = {
      {Hex("41"), 0, 1, Hex("41")},
      {Hex("C0 AF"), 1, 1, Hex("00 2F")},
      {Hex("DF BF"), 1, 1, Hex("1F 3F")},
      {Hex("C0 C0"), 1, 0, ""},
      {Hex("C0 2F"), 1, 0, ""},
      {Hex("E2 80 AF"), 2, 1, Hex("02 00 2F")},
      {Hex("E2 80 7F"), 2, 0, ""},
      {Hex("F7 BF BF BF"), 3, 1, Hex("07 3F 3F 3F")},
      {Hex("FB 80 80 80 80"), 4, 1, Hex("03 00 00 00 00")},
      {Hex("FD 80 80 80 80 BF"), 5, 1, Hex("01 00 00 00 00 3F")},
      {Hex("FD 80 80 80 80 C0"), 5, 0, ""},
      {Hex("C0 AF"), 0, 0, ""},  // a lead byte is no one-byte form
  };
  for (const RowCase& c : cases) {
    uint8_t payload[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    int got = MatchUtf8Row(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.row, payload);
    EXPECT_EQ(got, c.matches) << Printable(c.bytes) << " row " << c.row;
    if (got == 1 && c.matches == 1) {
      EXPECT_EQ(Printable(std::string(payload, payload + c.row + 1)), Printable(c.payload))
          << Printable(c.bytes);
    }
  }
}

// A fresh connection record with sentinels in the fields that a successful
// canonicalization must leave alone.
ScanContext SentinelContext() {
  ScanContext context{};
  context.matchIndex = 77;
  context.winError = 99;
  return context;
}

TEST(CanonicalizeCopy, PassesOrReportsDoubleEncoding) {
  struct CopyCase {
    std::string element;
    int32_t secondPass;
    bool passes;
    std::string copy;  // when it passes
  };
  const std::vector<CopyCase> cases = {
      {"/a/b", 1, true, "/a/b"},
      {"/a%2fb", 1, true, "/a/b"},
      // The first result keeps a '%' that a second run keeps too.
      {"/a%2fb%25", 1, true, "/a/b%"},
      {"", 1, true, ""},
      {"/a%252fb", 1, false, ""},
      {"%25C0%25AF", 1, false, ""},
      {"%C3%83%C2%A9", 1, false, ""},  // its second run gives E9
      {"/a%252fb", 0, true, "/a%2fb"},
      {"%C3%83%C2%A9", 0, true, Hex("C3 A9")},
      {"", 0, true, ""},
  };
  const ReasonCode kChanged = kReasonHeaderValueReCanonChanged;
  // Each case as it is, copied into the record, and behind a prefix that
  // makes it too long for the record, copied onto the heap.
  const std::string prefix(kCanonicalLocalBytes + 1, 'a');
  for (const CopyCase& c : cases) {
    for (bool onHeap : {false, true}) {
      const std::string text = (onHeap ? prefix : "") + c.element;
      SCOPED_TRACE(Printable(c.element) + " second pass " + std::to_string(c.secondPass) +
                   (onHeap ? ", long" : ", short"));
      int64_t liveBefore = LiveBlockCount();
      std::vector<uint8_t> element(text.begin(), text.end());
      ScanContext context = SentinelContext();
      CanonicalCopy copy;
      copy.bytes = reinterpret_cast<uint8_t*>(1);
      copy.length = 12345;
      int result = CanonicalizeCopy(&context, element.data(), static_cast<uint32_t>(element.size()),
                                    c.secondPass, kChanged, &copy);
      // The connection's own bytes are never modified.
      EXPECT_EQ(std::string(element.begin(), element.end()), text);
      EXPECT_EQ(context.matchIndex, 77u);
      EXPECT_EQ(context.winError, 99u);
      if (c.passes) {
        ASSERT_EQ(result, 1);
        EXPECT_EQ(context.reason, 0u);
        ASSERT_NE(copy.bytes, nullptr);
        EXPECT_EQ(Printable(std::string(copy.bytes, copy.bytes + copy.length)),
                  Printable((onHeap ? prefix : "") + c.copy));
        EXPECT_EQ(copy.bytes == copy.local, !onHeap);
        EXPECT_EQ(LiveBlockCount(), liveBefore + (onHeap ? 1 : 0));
      } else {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(context.reason, kChanged);
        EXPECT_EQ(copy.bytes, nullptr);
      }
      ReleaseCanonicalCopy(&copy);
      EXPECT_EQ(copy.bytes, nullptr);
      EXPECT_EQ(LiveBlockCount(), liveBefore);
    }
  }
}

TEST(CanonicalizeCopy, EveryFailedAllocationIsReason34AndLeaksNothing) {
  struct FailCase {
    int32_t secondPass;
    uint32_t platformError;
    std::string element;
    std::string copy;
    int64_t allocations;  // blocks the procedure asks for
  };
  // Texts that fit the record take no block. Longer ones take one for the
  // copy, and one for the second run's snapshot where the first result
  // still holds a '%' or a high byte and no longer fits the record. A first
  // result with neither cannot change again and is not run again.
  const std::string fill(kCanonicalLocalBytes, 'a');
  const std::string shrinks = std::string(kCanonicalLocalBytes - 12, 'a') + "%2f%2f%2f%2f%25";
  const std::vector<FailCase> cases = {
      {0, 8, fill + "/a%2fb%C0%AF", fill + "/a/b/", 1},
      {1, 8, fill + "/a%2fb%C0%AF%25", fill + "/a/b/%", 2},
      {1, 8, fill + "/a%2fb%C0%AF", fill + "/a/b/", 1},
      {0, 0, fill + "/a%2fb%C0%AF", fill + "/a/b/", 1},
      {1, 0, fill + "/a%2fb%C0%AF%25", fill + "/a/b/%", 2},
      {1, 8, shrinks, std::string(kCanonicalLocalBytes - 12, 'a') + "////%", 1},
      {1, 8, "/a%2fb%C0%AF%25", "/a/b/%", 0},
  };
  for (const FailCase& c : cases) {
    const std::string& element = c.element;
    int64_t failures = 0;
    for (int64_t n = 1;; ++n) {
      SCOPED_TRACE(element + ", second pass " + std::to_string(c.secondPass) + ", error " +
                   std::to_string(c.platformError) + ", failing allocation " + std::to_string(n));
      int64_t liveBefore = LiveBlockCount();
      ScanContext context{};
      CanonicalCopy copy;
      FailAllocationAfter(n, c.platformError);
      int result = CanonicalizeCopy(&context, reinterpret_cast<const uint8_t*>(element.data()),
                                    static_cast<uint32_t>(element.size()), c.secondPass,
                                    kReasonUrlReCanonChanged, &copy);
      FailAllocationAfter(0);
      if (result == 1) {
        EXPECT_EQ(Printable(std::string(copy.bytes, copy.bytes + copy.length)), Printable(c.copy));
        ReleaseCanonicalCopy(&copy);
        EXPECT_EQ(LiveBlockCount(), liveBefore);
        break;
      }
      ++failures;
      EXPECT_EQ(context.reason, static_cast<uint32_t>(kReasonWindowsError));
      // A platform that reports no error still gives the log a real number.
      EXPECT_EQ(context.winError, c.platformError != 0 ? c.platformError : kErrorNotEnoughMemory);
      EXPECT_EQ(copy.bytes, nullptr);
      EXPECT_EQ(LiveBlockCount(), liveBefore);
      ASSERT_LE(n, 10) << "never succeeds";
    }
    EXPECT_EQ(failures, c.allocations);
  }
}

}  // namespace
}  // namespace rg
