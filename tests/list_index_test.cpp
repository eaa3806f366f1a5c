// The indexes of the policy's lists: an indexed lookup must report exactly
// the entry that the plain walk in file order reports. The plain walks are
// kept here as the reference, written as simply as they are described: for
// FindSequence every entry at every position, earliest position first; for
// FindEntry every entry in file order.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "filter/context.h"
#include "kit/test_kit.h"
#include "log/reason.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "policy/lists_index.h"
#include "policy/policy.h"
#include "scan/scan.h"

namespace rg::test {
namespace {

// Equal without regard to ASCII letter case, a byte at a time: the
// reference the matchers and the word-wise comparison are held against.
bool FoldedEqual(const char* a, const char* b, size_t n) {
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; };
  for (size_t i = 0; i < n; ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

std::optional<uint32_t> ReferenceSequence(const std::string& text,
                                          const std::vector<std::string>& entries) {
  for (size_t p = 0; p < text.size(); ++p)
    for (uint32_t j = 0; j < entries.size(); ++j)
      if (entries[j].size() <= text.size() - p &&
          FoldedEqual(text.data() + p, entries[j].data(), entries[j].size()))
        return j;
  return std::nullopt;
}

std::optional<uint32_t> ReferenceEntry(const std::string& text,
                                       const std::vector<std::string>& entries,
                                       int caseInsensitive) {
  for (uint32_t j = 0; j < entries.size(); ++j) {
    if (entries[j].size() != text.size()) continue;
    bool equal = caseInsensitive ? FoldedEqual(text.data(), entries[j].data(), text.size())
                                 : entries[j] == text;
    if (equal) return j;
  }
  return std::nullopt;
}

// A list on the heap, as the loader builds it, freed on the way out.
struct HeapList {
  StringList list{};
  explicit HeapList(const std::vector<std::string>& entries) {
    std::vector<std::string_view> views(entries.begin(), entries.end());
    SetListFrom(&list, views.data(), views.size());
  }
  ~HeapList() { FreeStringList(&list); }
};

std::optional<uint32_t> Sequence(const StringList& list, const std::string& text) {
  uint32_t index = 0;
  if (!FindSequence(text.data(), static_cast<uint32_t>(text.size()), &list, &index))
    return std::nullopt;
  return index;
}

std::optional<uint32_t> Entry(const StringList& list, const std::string& text,
                              int caseInsensitive) {
  uint32_t index = 0xDEAD;
  int found =
      FindEntry(text.data(), static_cast<uint32_t>(text.size()), &list, caseInsensitive, &index);
  if (!found) {
    EXPECT_EQ(index, 0xDEADu) << "the index is left alone when nothing matches";
    return std::nullopt;
  }
  return index;
}

// Random words over a small alphabet, so that entries overlap, share
// prefixes and suffixes, and occur in the texts; letters in both cases and
// high bytes that fold only to themselves.
struct Words {
  std::mt19937 random;
  std::string alphabet;
  Words(uint32_t seed, std::string letters) : random(seed), alphabet(std::move(letters)) {}
  uint32_t Below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random); }
  std::string Word(uint32_t minLength, uint32_t maxLength) {
    std::string w(minLength + Below(maxLength - minLength + 1), ' ');
    for (char& c : w) c = alphabet[Below(static_cast<uint32_t>(alphabet.size()))];
    return w;
  }
  // The word with some of its letters in the other case.
  std::string Recased(std::string w) {
    for (char& c : w)
      if (Below(3) == 0 && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) c ^= 0x20;
    return w;
  }
};

// Every length around the word sizes, texts equal but for letter case and
// texts differing in one byte at any position, by case or not: bytes that
// differ by 0x20 but are no letters ('@' and '`', '[' and '{', 0xC0 and
// 0xE0) are different bytes. The exact comparison is held against the
// same texts.
TEST(BytesEqualNoCase, AgreesWithFoldingByteByByte) {
  const std::string alphabet = "aZq@`[{09-\xC0\xE0";
  std::mt19937 random(99);
  for (uint32_t n = 0; n <= 40; ++n) {
    for (int round = 0; round < 200; ++round) {
      std::string a(n, ' ');
      for (char& c : a) c = alphabet[random() % alphabet.size()];
      std::string b = a;
      for (char& c : b)
        if (((c | 0x20) >= 'a' && (c | 0x20) <= 'z') && random() % 2 == 0) c ^= 0x20;
      if (n > 0 && round % 2 == 1) {
        const size_t at = random() % n;
        b[at] = random() % 2 == 0 ? static_cast<char>(b[at] ^ 0x20)
                                  : alphabet[random() % alphabet.size()];
      }
      SCOPED_TRACE(a + " / " + b);
      const bool expected = FoldedEqual(a.data(), b.data(), n);
      EXPECT_EQ(BytesEqualNoCase(a.data(), b.data(), n) != 0, expected);
      EXPECT_EQ(BytesEqualNoCase(b.data(), a.data(), n) != 0, expected);
      EXPECT_EQ(BytesEqual(a.data(), b.data(), n) != 0, a == b);
      EXPECT_EQ(BytesEqual(b.data(), a.data(), n) != 0, a == b);
    }
  }
}

TEST(ListIndex, SequenceCases) {
  struct Case {
    const char* what;
    std::vector<std::string> list;
    std::string text;
    std::optional<uint32_t> expected;
  };
  const std::vector<Case> cases = {
      {"earliest position beats list order", {"%", "../"}, "a/../%", 1},
      {"same position: list order", {"ab", "a"}, "xab", 0},
      {"same position, the shorter entry first", {"a", "ab"}, "xab", 0},
      {"same start, the longer entry first in the file", {"abcd", "ab"}, "xabcd", 0},
      {"same start, the longer entry later in the file", {"ab", "abcd"}, "xabcd", 0},
      {"a match ending later but starting earlier wins", {"cd", "abcdef"}, "abcdef", 1},
      {"a match ending first wins when it starts first", {"abc", "bcdefgh"}, "abcdefgh", 0},
      {"a long entry that fails lets a later short one win", {"abcx", "bc"}, "abcd", 1},
      {"entry ending on the last byte", {"abc"}, "xxabc", 0},
      {"entry longer than what remains", {"abc"}, "xxab", std::nullopt},
      {"entries differing only in case: the first", {"CMD", "cmd"}, "/x/cMd", 0},
      {"a duplicate entry: the first", {"zz", "ab", "ab"}, "xab", 1},
      {"without case", {"CMD.EXE"}, "/scripts/cmd.exe", 0},
      {"only A-Z fold", {"\xC0"}, "a\xE0", std::nullopt},
      {"high bytes as themselves", {"\xC0\xAF"}, "/..\xC0\xAF", 0},
      {"a one-byte entry at the last byte", {"ab", "%"}, "xyz%", 1},
      {"failure links: suffix of a partial match", {"abcab", "bca"}, "abcabx", 0},
      {"failure links: no match after a near miss", {"aab"}, "aaaaac", std::nullopt},
      {"empty text", {"a"}, "", std::nullopt},
      {"a start after a long run without one", {"ab"}, std::string(40, 'x') + "ab", 0},
      {"a one-byte entry last after a long run", {"ab", "%"}, std::string(40, 'x') + "%", 1},
      {"a first byte with the wrong second, then a long run",
       {"ab"},
       "xac" + std::string(20, 'x') + "aC" + std::string(20, 'x') + "Ab",
       0},
      {"one-byte entry in the other letter case", {"q", "zz"}, std::string(30, '-') + "Q-", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(ReferenceSequence(c.text, c.list), c.expected) << "the case table itself";
    HeapList plain(c.list);
    HeapList indexed(c.list);
    ASSERT_EQ(BuildListIndex(&indexed.list, kIndexSequences), 0u);
    ASSERT_NE(indexed.list.index, nullptr);
    EXPECT_EQ(Sequence(plain.list, c.text), c.expected);
    EXPECT_EQ(Sequence(indexed.list, c.text), c.expected);
  }
}

// Random lists from one entry to several hundred against random texts: the
// indexed search, the plain walk of the core and the reference agree.
TEST(ListIndex, SequenceSearchAgreesWithTheReference) {
  Words words(20240517, "aAbBc./%\xE9\xC9");
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(round);
    uint32_t count = round % 10 == 0 ? 1 + words.Below(400) : 1 + words.Below(12);
    std::vector<std::string> entries;
    for (uint32_t i = 0; i < count; ++i) {
      // Some entries repeat an earlier one, in the same or the other case.
      if (!entries.empty() && words.Below(8) == 0)
        entries.push_back(words.Recased(entries[words.Below(static_cast<uint32_t>(entries.size()))]));
      else
        entries.push_back(words.Word(1, 1 + words.Below(7)));
    }
    HeapList plain(entries);
    HeapList indexed(entries);
    ASSERT_EQ(BuildListIndex(&indexed.list, kIndexSequences), 0u);
    ASSERT_NE(indexed.list.index, nullptr);
    for (int t = 0; t < 8; ++t) {
      std::string text = words.Word(0, 48);
      // Plant an entry now and then, so matches are not left to chance.
      if (words.Below(2) == 0) {
        const std::string& e = entries[words.Below(count)];
        text.insert(words.Below(static_cast<uint32_t>(text.size()) + 1), words.Recased(e));
      }
      std::optional<uint32_t> expected = ReferenceSequence(text, entries);
      EXPECT_EQ(Sequence(indexed.list, text), expected) << text;
      EXPECT_EQ(Sequence(plain.list, text), expected) << text;
    }
  }
}

// A list as long as the ones administrators build from published lists,
// with entries of every length up to 40 bytes.
TEST(ListIndex, ThousandEntrySequenceList) {
  Words words(7, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./<>%'\"-_=");
  std::vector<std::string> entries;
  for (int i = 0; i < 1000; ++i) entries.push_back(words.Word(1 + i % 3, 4 + i % 37));
  HeapList indexed(entries);
  ASSERT_EQ(BuildListIndex(&indexed.list, kIndexSequences), 0u);
  for (int t = 0; t < 3000; ++t) {
    std::string text = words.Word(0, 200);
    if (t % 3 == 0) text.insert(words.Below(static_cast<uint32_t>(text.size()) + 1),
                                words.Recased(entries[words.Below(1000)]));
    EXPECT_EQ(Sequence(indexed.list, text), ReferenceSequence(text, entries)) << text;
  }
}

// An empty entry (only a list built in code can hold one) matches at the
// first position: the list keeps the plain walk, which knows that.
TEST(ListIndex, AListWithAnEmptyEntryIsWalked) {
  HeapList list({"b", "", "a"});
  ASSERT_EQ(BuildListIndex(&list.list, kIndexSequences), 0u);
  EXPECT_EQ(list.list.index, nullptr);
  EXPECT_EQ(Sequence(list.list, "ab"), std::optional<uint32_t>(1));
}

TEST(ListIndex, EntryLookupAgreesWithTheReference) {
  Words words(99, "aAbB-_.x\xE9");
  for (int round = 0; round < 1000; ++round) {
    SCOPED_TRACE(round);
    uint32_t count = 1 + words.Below(round % 10 == 0 ? 1200 : 40);
    std::vector<std::string> entries;
    for (uint32_t i = 0; i < count; ++i) {
      if (!entries.empty() && words.Below(6) == 0)
        entries.push_back(words.Recased(entries[words.Below(static_cast<uint32_t>(entries.size()))]));
      else
        entries.push_back(words.Word(0, 1 + words.Below(20)));
    }
    HeapList plain(entries);
    HeapList indexed(entries);
    ASSERT_EQ(BuildListIndex(&indexed.list, kIndexEntries), 0u);
    ASSERT_NE(indexed.list.index, nullptr);
    for (int t = 0; t < 12; ++t) {
      std::string text = words.Below(2) == 0 ? words.Recased(entries[words.Below(count)])
                                             : words.Word(0, 1 + words.Below(20));
      for (int caseInsensitive : {0, 1}) {
        std::optional<uint32_t> expected = ReferenceEntry(text, entries, caseInsensitive);
        EXPECT_EQ(Entry(indexed.list, text, caseInsensitive), expected) << text;
        EXPECT_EQ(Entry(plain.list, text, caseInsensitive), expected) << text;
      }
    }
  }
}

// A short list is walked (comparing a few lengths is cheaper than a
// hash), after a test of the text's length against the entries' lengths.
TEST(ListIndex, ShortListsGetNoEntryTable) {
  HeapList list({"GET", "HEAD", "POST"});
  ASSERT_EQ(BuildListIndex(&list.list, kIndexEntries), 0u);
  ASSERT_NE(list.list.index, nullptr);
  EXPECT_EQ(list.list.index->entries.slots, nullptr);
  EXPECT_EQ(Entry(list.list, "HEAD", 0), std::optional<uint32_t>(1));
  EXPECT_EQ(Entry(list.list, "HEA", 0), std::nullopt);
}

// The lengths of names with a limit are noted; any name, with or without
// the note, finds the same exceeded entry.
TEST(ListIndex, HeaderLimitsAgreeWithAndWithoutTheIndex) {
  Words words(31, "aAbB-x");
  for (int round = 0; round < 500; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::pair<std::string, int32_t>> limits;
    for (uint32_t n = 1 + words.Below(12); n > 0; --n)
      limits.emplace_back(words.Word(0, 1 + words.Below(70)), static_cast<int32_t>(words.Below(20)) - 1);
    std::vector<std::pair<std::string_view, int32_t>> views(limits.begin(), limits.end());
    HeaderLimitList plain{};
    HeaderLimitList indexed{};
    SetLimitsFrom(&plain, views.data(), views.size());
    SetLimitsFrom(&indexed, views.data(), views.size());
    ASSERT_EQ(BuildHeaderLimitIndex(&indexed), 0u);
    ASSERT_NE(indexed.index, nullptr);
    for (int t = 0; t < 20; ++t) {
      std::string name = words.Below(2) == 0 ? words.Recased(limits[words.Below(static_cast<uint32_t>(limits.size()))].first)
                                             : words.Word(0, 1 + words.Below(70));
      uint32_t valueLength = words.Below(22);
      uint32_t a = 0xDEAD, b = 0xDEAD;
      int exceededPlain = ExceedsHeaderLimit(name.data(), static_cast<uint32_t>(name.size()),
                                             valueLength, &plain, &a);
      int exceededIndexed = ExceedsHeaderLimit(name.data(), static_cast<uint32_t>(name.size()),
                                               valueLength, &indexed, &b);
      ASSERT_EQ(exceededIndexed, exceededPlain) << name;
      ASSERT_EQ(b, a) << name;
    }
    FreeHeaderLimitList(&plain);
    FreeHeaderLimitList(&indexed);
  }
}

// Every allocation of a build can fail: the build then reports 8 (also when
// the platform gives no error), the list keeps no index and nothing leaks;
// the list's lookups still answer from the entries.
TEST(ListIndex, EveryAllocationFailureLeavesTheListAsItWas) {
  std::vector<std::string> entries;
  for (int i = 0; i < 20; ++i) entries.push_back("entry" + std::to_string(i * 7));
  for (uint32_t kinds : {uint32_t{kIndexEntries}, uint32_t{kIndexSequences},
                         uint32_t{kIndexEntries | kIndexSequences}}) {
    for (uint32_t reported : {kErrorNotEnoughMemory, 0u}) {
      SCOPED_TRACE("kinds " + std::to_string(kinds) + " reported " + std::to_string(reported));
      HeapList list(entries);
      int failures = 0;
      for (int64_t n = 1;; ++n) {
        int64_t live = LiveBlockCount();
        FailAllocationAfter(n, reported);
        uint32_t result = BuildListIndex(&list.list, kinds);
        FailAllocationAfter(0);
        if (result == 0) {
          EXPECT_NE(list.list.index, nullptr);
          break;
        }
        ++failures;
        EXPECT_EQ(result, kErrorNotEnoughMemory);
        EXPECT_EQ(list.list.index, nullptr);
        EXPECT_EQ(LiveBlockCount(), live);
        EXPECT_EQ(Sequence(list.list, "xxentry14"), std::optional<uint32_t>(2));
        ASSERT_LE(n, 40) << "never succeeds";
      }
      EXPECT_GE(failures, 1);
      FreeListIndex(&list.list);
      FreeListIndex(&list.list);  // a second release is harmless
    }
  }
}

// A loaded policy comes with its lists indexed, and a request is judged
// the same with and without the indexes, down to the entry the log names.
TEST(ListIndex, LoadedPolicyIsIndexedAndJudgesAlike) {
  std::string ini =
      "[Globals]\nDenyHeaderName=1\nDenyUrlSequence=1\nDenyQuerySequence=1\n"
      "ValidHostPort=0\nExtensionAllow=0\nValidHttpVersion=0\nValidMaxLenByHeader=0\n"
      "[VerbAllow]\nGET\n[ExtensionDeny]\n.exe\n"
      "[DenyHeaderName]\n";
  for (int i = 0; i < 50; ++i) ini += "X-Denied-" + std::to_string(i) + "\n";
  ini += "[DenyUrlSequence]\n";
  for (int i = 0; i < 50; ++i) ini += "/bad" + std::to_string(i) + "/\n";
  ini += "..\n[DenyQuerySequence]\n";
  for (int i = 0; i < 50; ++i) ini.append("q").append(std::to_string(i)).append("=\n");
  TempDir dir;
  PolicyRef policy;
  ASSERT_EQ(LoadPolicyText(dir.path, ini, nullptr, &policy.policy), 0u);
  FilterPolicy* record = const_cast<FilterPolicy*>(policy.Record());
  ASSERT_NE(record->DeniedHeaderNames.index, nullptr);
  ASSERT_NE(record->UrlSequences.index, nullptr);
  ASSERT_NE(record->QuerySequences.index, nullptr);

  const std::vector<std::string> requests = {
      "GET /a/bad17/x HTTP/1.1\r\nHost: h\r\n\r\n",
      "GET /a/bad1/x/bad17/ HTTP/1.1\r\nHost: h\r\n\r\n",
      "GET /a/BAD4/ HTTP/1.1\r\nHost: h\r\n\r\n",
      "GET /ok?a=1&q33=2&q3=4 HTTP/1.1\r\nHost: h\r\n\r\n",
      "GET /ok HTTP/1.1\r\nHost: h\r\nx-denied-42: 1\r\n\r\n",
      "GET /ok HTTP/1.1\r\nHost: h\r\nX-Denied-420: 1\r\n\r\n",
  };
  auto judge = [&](const std::string& request) {
    ScanContext context{};
    ScanRawData(record, &context, request.data(), static_cast<uint32_t>(request.size()));
    std::pair<uint32_t, uint32_t> outcome{context.reason, context.matchIndex};
    HeapFreeBlock(context.data);
    return outcome;
  };
  std::vector<std::pair<uint32_t, uint32_t>> indexed;
  for (const std::string& r : requests) indexed.push_back(judge(r));
  for (StringList* list :
       {&record->DeniedHeaderNames, &record->UrlSequences, &record->QuerySequences})
    FreeListIndex(list);
  for (size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(requests[i]);
    EXPECT_EQ(indexed[i], judge(requests[i]));
  }
  EXPECT_EQ(indexed[0], std::make_pair(uint32_t{kReasonUrlSequence}, 17u));
  EXPECT_EQ(indexed[1], std::make_pair(uint32_t{kReasonUrlSequence}, 1u));
  EXPECT_EQ(indexed[3].first, uint32_t{kReasonQuerySequence});
  EXPECT_EQ(indexed[3].second, 33u);
  EXPECT_EQ(indexed[4], std::make_pair(uint32_t{kReasonHeaderNameDenied}, 42u));
  EXPECT_EQ(indexed[5].first, 0u);
}

}  // namespace
}  // namespace rg::test
