// The policy's lists: loading from INI sections, matching, releasing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <strings.h>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "filter/filter.h"
#include "platform/platform.h"
#include "log/log.h"
#include "policy/policy.h"
#include "kit/test_kit.h"

namespace rg {
namespace {

// An INI file in a fresh directory; size() is what the loader passes as the
// section buffer size.
struct IniFile {
  test::TempDir dir;
  std::string path;
  explicit IniFile(std::string_view content) : path(dir.File("Ravelgard.ini")) {
    test::WriteTextFile(path, content);
  }
  uint32_t size() const { return static_cast<uint32_t>(test::ReadTextFile(path).size()); }
};

void FreeList(StringList* list) { FreeStringList(list); }
void FreeList(HeaderLimitList* list) { FreeHeaderLimitList(list); }

char* HeapText(const std::string& text) {
  char* copy = static_cast<char*>(HeapAllocZero(text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.data(), text.size());
  return copy;
}

// Lists built the way the loader leaves them, from a table row.
StringList MakeList(const std::vector<std::string>& entries) {
  StringList list{};
  if (entries.empty()) return list;
  list.entries = static_cast<char**>(HeapAllocZero(entries.size() * sizeof(char*)));
  list.lengths = static_cast<uint32_t*>(HeapAllocZero(entries.size() * sizeof(uint32_t)));
  for (const std::string& e : entries) {
    list.entries[list.count] = HeapText(e);
    list.lengths[list.count] = static_cast<uint32_t>(e.size());
    ++list.count;
  }
  return list;
}

HeaderLimitList MakeLimits(const std::vector<std::pair<std::string, int32_t>>& limits) {
  HeaderLimitList list{};
  if (limits.empty()) return list;
  list.names = static_cast<char**>(HeapAllocZero(limits.size() * sizeof(char*)));
  list.nameLengths = static_cast<uint32_t*>(HeapAllocZero(limits.size() * sizeof(uint32_t)));
  list.limits = static_cast<int32_t*>(HeapAllocZero(limits.size() * sizeof(int32_t)));
  for (const auto& [name, limit] : limits) {
    list.names[list.count] = HeapText(name);
    list.nameLengths[list.count] = static_cast<uint32_t>(name.size());
    list.limits[list.count] = limit;
    ++list.count;
  }
  return list;
}

std::vector<std::string> Entries(const StringList& list) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < list.count; ++i) out.emplace_back(list.entries[i], list.lengths[i]);
  return out;
}

// The shape every list must have after a load, whatever its outcome.
void ExpectWellFormed(const StringList& list) {
  if (list.count == 0) {
    EXPECT_EQ(list.entries, nullptr);
    EXPECT_EQ(list.lengths, nullptr);
    return;
  }
  ASSERT_NE(list.entries, nullptr);
  ASSERT_NE(list.lengths, nullptr);
  for (uint32_t i = 0; i < list.count; ++i) {
    ASSERT_NE(list.entries[i], nullptr);
    EXPECT_GT(list.lengths[i], 0u) << "entry " << i;
    EXPECT_EQ(std::strlen(list.entries[i]), list.lengths[i]) << "entry " << i;
  }
}

void ExpectWellFormed(const HeaderLimitList& list) {
  if (list.count == 0) {
    EXPECT_EQ(list.names, nullptr);
    EXPECT_EQ(list.nameLengths, nullptr);
    EXPECT_EQ(list.limits, nullptr);
    return;
  }
  ASSERT_NE(list.names, nullptr);
  ASSERT_NE(list.nameLengths, nullptr);
  ASSERT_NE(list.limits, nullptr);
  for (uint32_t i = 0; i < list.count; ++i) {
    ASSERT_NE(list.names[i], nullptr);
    EXPECT_EQ(std::strlen(list.names[i]), list.nameLengths[i]) << "name " << i;
  }
}

TEST(LoadStringList, KeepsEveryLineWholeAndInOrder) {
  struct LoadCase {
    const char* what;
    std::string ini;
    std::vector<std::string> expected;
  };
  const std::vector<LoadCase> cases = {
      {"two lines", "[Verbs]\r\nGET\r\nPOST\r\n", {"GET", "POST"}},
      {"key=value stays one entry", "[Verbs]\r\nkey=value\r\n", {"key=value"}},
      {"duplicates kept in order", "[Verbs]\nb\na\nb\n", {"b", "a", "b"}},
      {"high-bit bytes kept", "[Verbs]\n\xC0\xAF\n", {"\xC0\xAF"}},
      {"section name without case", "[verbs]\nGET\n", {"GET"}},
      {"missing section", "[Other]\nGET\n", {}},
      {"empty section", "[Verbs]\n[Other]\nGET\n", {}},
      {"empty file", "", {}},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.what);
    int64_t liveBefore = LiveBlockCount();
    IniFile ini(c.ini);
    StringList list{};
    list.flag = 7;
    // An empty file still gets a buffer big enough for the empty answer.
    uint32_t size = ini.size() > 2 ? ini.size() : 2;
    EXPECT_EQ(LoadStringList("Verbs", ini.path.c_str(), &list, size), 0u);
    ExpectWellFormed(list);
    EXPECT_EQ(Entries(list), c.expected);
    EXPECT_EQ(list.flag, 7) << "the switch belongs to the caller";
    FreeStringList(&list);
    EXPECT_EQ(LiveBlockCount(), liveBefore);
  }
}

TEST(LoadStringList, MissingFileAndTinyBuffersGiveEmptyList) {
  test::TempDir dir;
  const std::string missing = dir.File("absent.ini");
  IniFile ini("[Verbs]\nGET\n");
  struct EmptyCase {
    const char* what;
    const char* path;
    uint32_t size;
  };
  const std::vector<EmptyCase> cases = {
      {"missing file", missing.c_str(), 100},
      {"buffer of 0 bytes", ini.path.c_str(), 0},
      {"buffer of 1 byte", ini.path.c_str(), 1},
      {"buffer of 2 bytes", ini.path.c_str(), 2},
  };
  for (const EmptyCase& c : cases) {
    SCOPED_TRACE(c.what);
    int64_t liveBefore = LiveBlockCount();
    StringList list{};
    EXPECT_EQ(LoadStringList("Verbs", c.path, &list, c.size), 0u);
    EXPECT_EQ(list.count, 0u);
    ExpectWellFormed(list);
    // Every matcher finds nothing in it.
    uint32_t index = 99;
    EXPECT_EQ(FindEntry("GET", 3, &list, 0, &index), 0);
    EXPECT_EQ(FindSequence("GET", 3, &list, &index), 0);
    EXPECT_EQ(LiveBlockCount(), liveBefore);
  }
}

TEST(LoadStringList, EveryBufferSizeGivesWholeLinesOrACutLastLine) {
  // Buffers smaller than the file cut the section; whatever arrives must be
  // a well-formed list of non-empty prefixes of the lines, and nothing may
  // be read outside the buffer (the sanitizer build checks that).
  IniFile ini("[Verbs]\r\nGET\r\nPOST\r\nPROPFIND\r\n");
  const std::vector<std::string> lines = {"GET", "POST", "PROPFIND"};
  for (uint32_t size = 0; size <= ini.size(); ++size) {
    SCOPED_TRACE("buffer size " + std::to_string(size));
    StringList list{};
    ASSERT_EQ(LoadStringList("Verbs", ini.path.c_str(), &list, size), 0u);
    ExpectWellFormed(list);
    ASSERT_LE(list.count, lines.size());
    for (uint32_t i = 0; i < list.count; ++i) {
      std::string entry(list.entries[i], list.lengths[i]);
      EXPECT_EQ(lines[i].compare(0, entry.size(), entry), 0) << entry;
      if (i + 1 < list.count) {
        EXPECT_EQ(entry, lines[i]);
      }
    }
    FreeStringList(&list);
  }
  StringList whole{};
  ASSERT_EQ(LoadStringList("Verbs", ini.path.c_str(), &whole, ini.size()), 0u);
  EXPECT_EQ(Entries(whole), lines);
  FreeStringList(&whole);
}

TEST(LoadHeaderLimitList, NamesBeforeTheFirstEqualsWithTheirLimits) {
  IniFile ini(
      "[ValidMaxLenByHeader]\r\n"
      "Content-Type=100\r\n"
      "NoEqualsSign\r\n"  // skipped; the lines after it still load
      "=5\r\n"
      "X Y=7\r\n"
      "Cookie=0x10\r\n"
      "Accept=\r\n"  // an empty value reads as absent: -1, never limiting
      "Dup=10\r\n"
      "Dup=5\r\n"    // looked up again by name, so the first Dup line wins
      "A=B=3\r\n");
  struct Expected {
    std::string name;
    std::optional<int32_t> limit;  // unset: whatever the reader makes of it
  };
  const std::vector<Expected> expected = {
      {"Content-Type", 100}, {"", std::nullopt}, {"X Y", 7},  {"Cookie", 16},
      {"Accept", -1},        {"Dup", 10},        {"Dup", 10}, {"A", std::nullopt},
  };
  int64_t liveBefore = LiveBlockCount();
  HeaderLimitList list{};
  ASSERT_EQ(LoadHeaderLimitList("ValidMaxLenByHeader", ini.path.c_str(), &list, ini.size()), 0u);
  ExpectWellFormed(list);
  ASSERT_EQ(list.count, expected.size());
  for (uint32_t i = 0; i < list.count; ++i) {
    SCOPED_TRACE("entry " + std::to_string(i));
    EXPECT_EQ(std::string(list.names[i], list.nameLengths[i]), expected[i].name);
    if (expected[i].limit) {
      EXPECT_EQ(list.limits[i], *expected[i].limit);
    }
  }
  FreeHeaderLimitList(&list);
  EXPECT_EQ(LiveBlockCount(), liveBefore);
}

// Values and names that the profile reader treats in some particular way.
// Each limit is parsed from the section's own lines, and must be the very
// number the reader gives when asked for that name in that section (as
// each line used to be looked up, reading the whole file again).
const std::vector<std::string> kTrickyValues = {
    "", " ", "\t", "5", " 5", "5 ", "\t5\t", "-5", "--5", "-", "+5", "0", "00", "007", "0x",
    "0x1F", "0X1f", "0xg", "0x-1", "-0x10", "0x100000000", "0xFFFFFFFF", "4294967295",
    "4294967296", "99999999999", "2147483648", "-2147483649", "12abc", "abc", "5;comment",
    "\"7\"", "\r5", "5\r", "1 2", "0x 5", "\xD9\xA1", "\xEF\xBC\x95", "=5", "5=6", "\v5",
    "\f5", std::string("5\0" "9", 3), "0x0x5", "- 5", "0b101", "1e3", "\xA0" "5",
};
const std::vector<std::string> kTrickyNames = {
    "Cookie",  "COOKIE",   "cookie ",    "  Spaced  ", "In ner", "In  ner", "",
    "  ",      "Tab\tName", "\rCR",       "CR\r",       "\xDC",   "\xFC",   "a",
    "A",       std::string("Nul\0Name", 8), "Semi;colon", "Quote\"",    "x=y",
};

TEST(LoadHeaderLimitList, EachLimitIsWhatTheReaderGivesForItsName) {
  std::string section = "[ValidMaxLenByHeader]\n";
  int n = 0;
  for (const std::string& value : kTrickyValues)
    section += "Value" + std::to_string(n++) + "=" + value + "\n";
  n = 0;
  for (const std::string& name : kTrickyNames)
    section += name + "=" + std::to_string(100 + n++) + "\r\n";
  section += "no equals sign\n;comment=1\nLast=0x7FFFFFFF";  // no line end at the end
  IniFile ini(section + "\n[Other]\nCookie=1\n[ValidMaxLenByHeader]\nLate=5\n");

  HeaderLimitList list{};
  ASSERT_EQ(LoadHeaderLimitList("ValidMaxLenByHeader", ini.path.c_str(), &list, ini.size()), 0u);
  ExpectWellFormed(list);
  ASSERT_GE(list.count, kTrickyValues.size() + kTrickyNames.size() - 3);
  for (uint32_t i = 0; i < list.count; ++i) {
    std::string name(list.names[i], list.nameLengths[i]);
    SCOPED_TRACE(testing::PrintToString(name));
#if defined(_WIN32)
    // The loader reads the limits from the section's lines by the same
    // rules on every platform; under Wine, ProfileGetInt is Wine's own
    // reader, which reads three of the values otherwise (a 0X prefix in
    // capitals as 0, 0b101 as binary, a number in quotes as that number;
    // see tests/windows/ini_compare.py).
    bool wineReadsOtherwise = false;
    for (const char* value : {"0X1f", "\"7\"", "0b101"}) {
      auto at = std::find(kTrickyValues.begin(), kTrickyValues.end(), value);
      wineReadsOtherwise |= name == "Value" + std::to_string(at - kTrickyValues.begin());
    }
    if (wineReadsOtherwise) continue;
#endif
    EXPECT_EQ(list.limits[i], static_cast<int32_t>(ProfileGetInt(
                                  "ValidMaxLenByHeader", list.names[i], -1, ini.path.c_str())));
  }
  FreeHeaderLimitList(&list);
}

// A header listed many times over, under letter cases of its own: every
// line gets the limit of the first, however many there are.
TEST(LoadHeaderLimitList, RepeatedNamesTakeTheFirstLimit) {
  std::string section = "[ValidMaxLenByHeader]\n";
  const int kNames = 500;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < kNames; ++i) {
      std::string name = "X-Header-" + std::to_string(i);
      if (round == 1) name[0] = 'x';
      if (round == 2) name = "  " + name + "\t";
      section += name + "=" + std::to_string(round * 1000 + i) + "\n";
    }
  }
  IniFile ini(section);
  HeaderLimitList list{};
  ASSERT_EQ(LoadHeaderLimitList("ValidMaxLenByHeader", ini.path.c_str(), &list, ini.size()), 0u);
  ASSERT_EQ(list.count, 3u * kNames);
  for (uint32_t i = 0; i < list.count; ++i) EXPECT_EQ(list.limits[i], int32_t(i % kNames));
  FreeHeaderLimitList(&list);
}

TEST(LoadHeaderLimitList, SectionsWithoutNameLinesGiveEmptyList) {
  struct EmptyCase {
    const char* what;
    std::string ini;
    bool zeroBuffer;
  };
  const std::vector<EmptyCase> cases = {
      {"no line has '='", "[ValidMaxLenByHeader]\nHost\nAccept\n", false},
      {"missing section", "[Other]\nHost=5\n", false},
      {"buffer of 0 bytes", "[ValidMaxLenByHeader]\nHost=5\n", true},
  };
  for (const EmptyCase& c : cases) {
    SCOPED_TRACE(c.what);
    int64_t liveBefore = LiveBlockCount();
    IniFile ini(c.ini);
    HeaderLimitList list{};
    EXPECT_EQ(LoadHeaderLimitList("ValidMaxLenByHeader", ini.path.c_str(), &list,
                                  c.zeroBuffer ? 0 : ini.size()),
              0u);
    EXPECT_EQ(list.count, 0u);
    ExpectWellFormed(list);
    uint32_t index = 99;
    EXPECT_EQ(ExceedsHeaderLimit("Host", 4, 1000, &list, &index), 0);
    EXPECT_EQ(LiveBlockCount(), liveBefore);
  }
}

// Walks the failure hook over every allocation of one load: each failure
// must give 8 (also when the platform reports no error), an empty list and
// no leak; the walk ends at the first run that succeeds.
template <typename List, typename Load>
void WalkAllocationFailures(Load load, uint32_t expectedFailurePoints) {
  for (uint32_t platformError : {kErrorNotEnoughMemory, kErrorSuccess}) {
    uint32_t failures = 0;
    for (int64_t n = 1;; ++n) {
      SCOPED_TRACE("platform error " + std::to_string(platformError) + ", failing allocation " +
                   std::to_string(n));
      int64_t liveBefore = LiveBlockCount();
      List list{};
      FailAllocationAfter(n, platformError);
      uint32_t result = load(&list);
      FailAllocationAfter(0);
      ExpectWellFormed(list);
      if (result == 0) {
        EXPECT_GT(list.count, 0u);
        FreeList(&list);
        EXPECT_EQ(LiveBlockCount(), liveBefore);
        break;
      }
      ++failures;
      EXPECT_EQ(result, kErrorNotEnoughMemory);
      EXPECT_EQ(list.count, 0u);
      EXPECT_EQ(LiveBlockCount(), liveBefore);
      ASSERT_LE(n, 50) << "never succeeds";
    }
    EXPECT_EQ(failures, expectedFailurePoints) << "platform error " << platformError;
  }
}

TEST(LoadStringList, EveryFailedAllocationGives8AndAnEmptyList) {
  IniFile ini("[UrlSequences]\n..\n./\n\\\n%\n");
  // The section buffer, the two arrays, and one block per entry.
  WalkAllocationFailures<StringList>(
      [&](StringList* list) {
        return LoadStringList("UrlSequences", ini.path.c_str(), list, ini.size());
      },
      1 + 2 + 4);
}

TEST(LoadHeaderLimitList, EveryFailedAllocationGives8AndAnEmptyList) {
  IniFile ini("[ValidMaxLenByHeader]\nContent-Type=100\nskipped\nCookie=2000\n");
  // The section buffer, the three arrays, the table of first names, and one
  // block per name.
  WalkAllocationFailures<HeaderLimitList>(
      [&](HeaderLimitList* list) {
        return LoadHeaderLimitList("ValidMaxLenByHeader", ini.path.c_str(), list, ini.size());
      },
      1 + 3 + 1 + 2);
}

TEST(FindEntry, WholeTextAgainstEachEntryInOrder) {
  struct EntryCase {
    const char* what;
    std::vector<std::string> list;
    std::string text;
    int caseInsensitive;
    int found;
    uint32_t index;  // when found
  };
  const std::vector<EntryCase> cases = {
      {"first entry", {"GET", "POST"}, "GET", 0, 1, 0},
      {"second entry", {"GET", "POST"}, "POST", 0, 1, 1},
      {"shorter text", {"GET"}, "GE", 0, 0, 0},
      {"longer text", {"GET"}, "GETS", 0, 0, 0},
      {"empty text", {"GET"}, "", 1, 0, 0},
      {"byte for byte keeps case", {"GET"}, "get", 0, 0, 0},
      {"without case", {"HOST"}, "host", 1, 1, 0},
      {"first equal entry wins", {"HOST", "host"}, "host", 1, 1, 0},
      {"byte for byte skips the other case", {"HOST", "host"}, "host", 0, 1, 1},
      {"key=value is one entry", {"key=value"}, "key=value", 0, 1, 0},
      {"key of key=value", {"key=value"}, "key", 1, 0, 0},
      {"value of key=value", {"key=value"}, "value", 1, 0, 0},
      // Only A-Z fold: bytes that differ in bit 0x20 elsewhere stay apart.
      {"C0 vs E0", {"\xC0"}, "\xE0", 1, 0, 0},
      {"C9 vs E9", {"caf\xC9"}, "caf\xE9", 1, 0, 0},
      {"high bytes equal themselves", {"caf\xE9"}, "CAF\xE9", 1, 1, 0},
      {"@ vs `", {"@"}, "`", 1, 0, 0},
      {"[ vs {", {"a["}, "A{", 1, 0, 0},
      {"empty list", {}, "GET", 1, 0, 0},
  };
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.what);
    StringList list = MakeList(c.list);
    uint32_t index = 99;
    EXPECT_EQ(FindEntry(c.text.data(), static_cast<uint32_t>(c.text.size()), &list,
                        c.caseInsensitive, &index),
              c.found);
    EXPECT_EQ(index, c.found ? c.index : 99u) << "the index is left alone when nothing matches";
    EXPECT_EQ(FindEntry(c.text.data(), static_cast<uint32_t>(c.text.size()), &list,
                        c.caseInsensitive, nullptr),
              c.found)
        << "the index is optional";
    FreeStringList(&list);
  }
}

TEST(ExceedsHeaderLimit, StrictlyLongerThanTheLimitOfANamedHeader) {
  struct LimitCase {
    const char* what;
    std::vector<std::pair<std::string, int32_t>> list;
    std::string name;
    uint32_t valueLength;
    int exceeded;
    uint32_t index;  // when exceeded
  };
  const std::vector<LimitCase> cases = {
      {"longer", {{"Content-Type", 100}}, "Content-Type", 101, 1, 0},
      {"exactly the limit", {{"Content-Type", 100}}, "Content-Type", 100, 0, 0},
      {"name without case", {{"Content-Type", 100}}, "content-TYPE", 101, 1, 0},
      {"other name", {{"Content-Type", 100}}, "Content-Typ", 101, 0, 0},
      {"-1 never limits", {{"Cookie", -1}}, "Cookie", 0xFFFFFFFFu, 0, 0},
      {"0 limits one byte", {{"Cookie", 0}}, "Cookie", 1, 1, 0},
      {"0 lets the empty value pass", {{"Cookie", 0}}, "Cookie", 0, 0, 0},
      {"a limit not exceeded does not end the search", {{"X", 10}, {"X", 5}}, "X", 7, 1, 1},
      {"first exceeded entry wins", {{"X", 5}, {"X", 3}}, "X", 7, 1, 0},
      {"only the named header counts", {{"A", 1}, {"B", 100}}, "B", 50, 0, 0},
      {"limits above 2^31 compare unsigned", {{"X", int32_t(0x80000000u)}}, "X", 0x7FFFFFFFu, 0,
       0},
      {"empty list", {}, "X", 1000, 0, 0},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.what);
    HeaderLimitList list = MakeLimits(c.list);
    uint32_t index = 99;
    EXPECT_EQ(ExceedsHeaderLimit(c.name.data(), static_cast<uint32_t>(c.name.size()),
                                 c.valueLength, &list, &index),
              c.exceeded);
    if (c.exceeded) {
      EXPECT_EQ(index, c.index);
    }
    FreeHeaderLimitList(&list);
  }
}

TEST(FindSequence, EarliestPositionThenListOrder) {
  struct SequenceCase {
    const char* what;
    std::vector<std::string> list;
    std::string text;
    int found;
    uint32_t index;  // when found
  };
  const std::vector<SequenceCase> cases = {
      {"earliest position beats list order", {"%", "../"}, "a/../%", 1, 1},
      {"same position: list order", {"ab", "a"}, "xab", 1, 0},
      {"entry ending on the last byte", {"abc"}, "xxabc", 1, 0},
      {"entry longer than what remains", {"abc"}, "xxab", 0, 0},
      {"entry longer than the text", {"abcdef"}, "abc", 0, 0},
      {"whole text", {"abc"}, "abc", 1, 0},
      {"without case", {"CMD.EXE"}, "/scripts/cmd.exe", 1, 0},
      {"only A-Z fold", {"\xC0"}, "a\xE0", 0, 0},
      {"high bytes found as themselves", {"\xC0\xAF"}, "/..\xC0\xAF", 1, 0},
      {"empty text", {"a"}, "", 0, 0},
      {"empty list", {}, "abc", 0, 0},
  };
  for (const SequenceCase& c : cases) {
    SCOPED_TRACE(c.what);
    StringList list = MakeList(c.list);
    uint32_t index = 99;
    EXPECT_EQ(FindSequence(c.text.data(), static_cast<uint32_t>(c.text.size()), &list, &index),
              c.found);
    if (c.found) {
      EXPECT_EQ(index, c.index);
    }
    FreeStringList(&list);
  }
}

// The matcher skips positions that no entry can start at; over random texts
// and lists it must find exactly what trying every entry everywhere finds.
TEST(FindSequence, AgreesWithTryingEveryEntryAtEveryPosition) {
  const std::string alphabet = "aAbB.%/\xE9\xC9Zz";
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
  auto word = [&](uint32_t maxLength) {
    std::string w(1 + next() % maxLength, ' ');
    for (char& c : w) c = alphabet[next() % alphabet.size()];
    return w;
  };
  for (int round = 0; round < 2000; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::string> entries;
    for (uint32_t n = 1 + next() % 5; n > 0; --n) entries.push_back(word(3));
    // Now and then an empty entry, which a list built in code can hold.
    if (next() % 50 == 0) entries.insert(entries.begin() + next() % entries.size(), "");
    StringList list = {};
    list.count = static_cast<uint32_t>(entries.size());
    std::vector<char*> pointers;
    std::vector<uint32_t> lengths;
    for (std::string& e : entries) {
      pointers.push_back(e.data());
      lengths.push_back(static_cast<uint32_t>(e.size()));
    }
    list.entries = pointers.data();
    list.lengths = lengths.data();
    const std::string text = word(12);

    std::optional<uint32_t> expected;
    for (size_t p = 0; p < text.size() && !expected; ++p) {
      for (uint32_t j = 0; j < list.count && !expected; ++j) {
        if (lengths[j] <= text.size() - p &&
            strncasecmp(text.data() + p, pointers[j], lengths[j]) == 0)
          expected = j;
      }
    }
    uint32_t index = 99;
    int found = FindSequence(text.data(), static_cast<uint32_t>(text.size()), &list, &index);
    ASSERT_EQ(found, expected.has_value() ? 1 : 0) << text;
    if (expected) {
      EXPECT_EQ(index, *expected) << text;
    }
  }
}

TEST(FreeLists, EmptyPartlyBuiltAndFreedListsReleaseEachBlockOnce) {
  int64_t liveBefore = LiveBlockCount();

  StringList strings = MakeList({"GET", "POST", "PUT"});
  HeapFreeBlock(strings.entries[2]);  // as a load that failed on its last entry
  strings.entries[2] = nullptr;
  HeapFreeBlock(strings.lengths);
  strings.lengths = nullptr;
  FreeStringList(&strings);
  EXPECT_EQ(strings.entries, nullptr);
  EXPECT_EQ(strings.lengths, nullptr);
  EXPECT_EQ(strings.count, 3u) << "count and flag keep their values";
  FreeStringList(&strings);  // a second release frees nothing

  HeaderLimitList limits = MakeLimits({{"A", 1}, {"B", 2}});
  HeapFreeBlock(limits.limits);
  limits.limits = nullptr;
  FreeHeaderLimitList(&limits);
  EXPECT_EQ(limits.names, nullptr);
  EXPECT_EQ(limits.nameLengths, nullptr);
  FreeHeaderLimitList(&limits);

  StringList empty{};
  FreeStringList(&empty);
  HeaderLimitList emptyLimits{};
  FreeHeaderLimitList(&emptyLimits);

  EXPECT_EQ(LiveBlockCount(), liveBefore);
}

TEST(FreePolicy, ReleasesEveryListAndBuffer) {
  int64_t liveBefore = LiveBlockCount();
  FreePolicy(nullptr);
  FilterPolicy* policy = test::NewDefaultPolicy();
  test::SetList(&policy->Verbs, {"GET", "HEAD"});
  test::SetVersions(&policy->HttpVersions, {"HTTP/1.1"});
  test::SetList(&policy->Extensions, {".htm"});
  test::SetList(&policy->HostPorts, {"server1"});
  test::SetList(&policy->DeniedHeaderNames, {"Translate:"});
  test::SetLimits(&policy->HeaderLimits, {{"Content-Type", 100}});
  test::SetList(&policy->UrlSequences, {".."});
  test::SetList(&policy->QuerySequences, {"<"});
  policy->BlockResponse = static_cast<char*>(HeapAllocZero(64));
  FreePolicy(policy);
  EXPECT_EQ(LiveBlockCount(), liveBefore);
}

// The one release path, which a failed load takes as well: it leaves a
// record with no block and no open file whose block response reads as not
// built (its length 0 with it), and a second run releases nothing again.
TEST(ReleasePolicyContents, LeavesNothingBehindAndMayRunTwice) {
  test::TempDir dir;
  int64_t liveBefore = LiveBlockCount();
  FilterPolicy* policy = test::NewDefaultPolicy();
  test::SetList(&policy->Verbs, {"GET"});
  test::SetLimits(&policy->HeaderLimits, {{"Cookie", 9}});
  policy->Simulate = 1;
  ASSERT_EQ(BuildBlockResponse(policy, "Web"), 0u);
  ASSERT_NE(policy->BlockResponseLength, 0u);
  test::SetText(policy->LogDirectory, dir.path);
  ASSERT_EQ(OpenLogFile(policy), 0u);
  ASSERT_NE(policy->Log, nullptr);
  for (int run = 0; run < 2; ++run) {
    ReleasePolicyContents(policy);
    EXPECT_EQ(policy->Verbs.entries, nullptr);
    EXPECT_EQ(policy->HeaderLimits.names, nullptr);
    EXPECT_EQ(policy->Banner, nullptr);
    EXPECT_EQ(policy->LogDirectory, nullptr);
    EXPECT_EQ(policy->BlockResponse, nullptr);
    EXPECT_EQ(policy->BlockResponseLength, 0u);
    EXPECT_EQ(policy->Log, nullptr);
    EXPECT_EQ(policy->Simulate, 1) << "scalar members stay";
  }
  EXPECT_EQ(LiveBlockCount(), liveBefore + 1) << "only the record itself is left";
  FreePolicy(policy);
  EXPECT_EQ(LiveBlockCount(), liveBefore);
}

}  // namespace
}  // namespace rg
