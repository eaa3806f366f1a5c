#include "ravelgard/lint.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "policy/globals.h"
#include "ravelgard/ini_text.h"
#include "ravelgard/util.h"

namespace rg::tool {

namespace {

enum class ListKind { kPlain, kExtension, kSequence, kLimits };

struct KnownSection {
  const char* name;
  const char* switchKey;   // the Globals key that decides whether it is read
  bool readWhenSwitchOn;   // false: read when the switch is 0 (deny lists)
  const char* otherName;   // the section the switch selects instead, if any
  bool caseSensitive;      // entries matched with exact case
  ListKind kind;
};

constexpr KnownSection kSections[] = {
    {"VerbAllow", "VerbAllow", true, "VerbDeny", true, ListKind::kPlain},
    {"VerbDeny", "VerbAllow", false, "VerbAllow", true, ListKind::kPlain},
    {"ValidHttpVersion", "ValidHttpVersion", true, nullptr, true, ListKind::kPlain},
    {"ValidHostPort", "ValidHostPort", true, nullptr, false, ListKind::kPlain},
    {"ExtensionAllow", "ExtensionAllow", true, "ExtensionDeny", false, ListKind::kExtension},
    {"ExtensionDeny", "ExtensionAllow", false, "ExtensionAllow", false, ListKind::kExtension},
    {"DenyHeaderName", "DenyHeaderName", true, nullptr, false, ListKind::kPlain},
    {"ValidMaxLenByHeader", "ValidMaxLenByHeader", true, nullptr, false, ListKind::kLimits},
    {"DenyUrlSequence", "DenyUrlSequence", true, nullptr, false, ListKind::kSequence},
    {"DenyQuerySequence", "DenyQuerySequence", true, nullptr, false, ListKind::kSequence},
};

constexpr size_t kTextLimit = 254;

// Texts held in hash tables by view (the parsed file outlives them): the
// hash folds ASCII letter case, so it serves tables that compare with case
// and without it alike.
struct FoldedHash {
  size_t operator()(std::string_view text) const {
    uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (char ch : text) {
      char lower = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch | 0x20) : ch;
      h = (h ^ static_cast<unsigned char>(lower)) * 1099511628211ull;
    }
    return static_cast<size_t>(h);
  }
};
struct SameText {
  bool ignoreCase;
  bool operator()(std::string_view a, std::string_view b) const {
    return ignoreCase ? SameNoCase(a, b) : a == b;
  }
};
template <typename T>
using TextTable = std::unordered_map<std::string_view, T, FoldedHash, SameText>;

template <typename T>
TextTable<T> NewTextTable(bool ignoreCase, size_t expected) {
  return TextTable<T>(expected, FoldedHash{}, SameText{ignoreCase});
}

// The first line of each key of a section (keys compare without case), so
// that every lookup costs the same however long the section is.
using KeyIndex = TextTable<const IniLine*>;

KeyIndex IndexKeys(const IniSection* section) {
  KeyIndex index = NewTextTable<const IniLine*>(true, section ? section->lines.size() : 0);
  if (section == nullptr) return index;
  for (const IniLine& l : section->lines)
    if (l.hasEquals) index.emplace(l.key, &l);  // keeps the first
  return index;
}

struct Context {
  std::vector<LintWarning> warnings;
  const IniSection* globals;  // the first [Globals], or null
  KeyIndex globalKeys;        // its keys
};

void Warn(Context* c, uint32_t line, std::string message) {
  c->warnings.push_back({line, std::move(message)});
}

// Quotes text for a message, shown as a terminal may safely show it.
std::string Quote(std::string_view text) {
  std::string out = "'";
  AppendPrintable(&out, text);
  out += '\'';
  return out;
}

// The profile reader's integer rule: the leading number, decimal or 0x hex,
// with an optional '-' or '+'; ok is false when no digit leads the value.
int32_t ReadInteger(std::string_view value, bool* ok) {
  size_t i = 0;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) {
    negative = value[i] == '-';
    ++i;
  }
  uint32_t n = 0;
  size_t digits = 0;
  if (value.size() - i > 2 && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X')) {
    for (i += 2; i < value.size(); ++i, ++digits) {
      char c = value[i];
      int v = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (v < 0) break;
      n = n * 16 + static_cast<uint32_t>(v);
    }
  }
  if (digits == 0) {
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i, ++digits)
      n = n * 10 + static_cast<uint32_t>(value[i] - '0');
  }
  *ok = digits > 0;
  return static_cast<int32_t>(negative ? 0u - n : n);
}

// The first line of a section whose key is name (without case), or null.
const IniLine* FindKey(const KeyIndex& keys, std::string_view name) {
  auto found = keys.find(name);
  return found != keys.end() ? found->second : nullptr;
}

int32_t GlobalInt(const Context& c, std::string_view key, int32_t deflt) {
  const IniLine* l = FindKey(c.globalKeys, key);
  if (l == nullptr) return deflt;
  bool ok = false;
  return ReadInteger(l->value, &ok);
}

template <typename T, size_t N>
const T* Nearest(const T (&table)[N], std::string_view name) {
  const T* best = &table[0];
  size_t bestDistance = SIZE_MAX;
  for (const T& entry : table) {
    size_t d = EditDistance(name, entry.name);
    if (d < bestDistance) {
      bestDistance = d;
      best = &entry;
    }
  }
  return best;
}

void LintGlobals(Context* c, const IniSection& s) {
  bool lengthFound[6] = {};
  for (size_t i = 0; i < s.lines.size(); ++i) {
    const IniLine& l = s.lines[i];
    std::string_view key = l.hasEquals ? std::string_view(l.key) : std::string_view(l.delivered);

    // A length key counts when the line merely begins with its name.
    bool handled = false;
    for (size_t k = 0; k < kGlobalKeyCount && !handled; ++k) {
      if (kGlobalKeys[k].kind != GlobalKind::kLength) continue;
      std::string_view name = kGlobalKeys[k].name;
      if (lengthFound[k] || l.delivered.compare(0, name.size(), name) != 0) continue;
      lengthFound[k] = true;
      handled = true;
      if (key == name && l.hasEquals) break;
      const IniLine* exact = FindKey(c->globalKeys, name);
      if (key == name) {
        Warn(c, l.number,
             "line " + Quote(key) + " has no '=', yet it switches the limit on; " +
                 (exact == nullptr ? std::string("with no value the limit reads as -1, which "
                                                 "limits nothing")
                                   : "the value comes from line " + std::to_string(exact->number)));
      } else if (exact == nullptr) {
        Warn(c, l.number,
             "key " + Quote(key) + " is taken for '" + std::string(name) +
                 "' because it begins with that name; with no '" + std::string(name) +
                 "' key the limit reads as -1, which limits nothing");
      } else {
        Warn(c, l.number,
             "unknown key " + Quote(key) + " in [Globals]; did you mean '" + std::string(name) +
                 "'? (it switches the limit on, but the value comes from line " +
                 std::to_string(exact->number) + ")");
      }
    }

    const GlobalKey* known = FindGlobalKey(key.data(), key.size());
    if (!handled) {
      if (known != nullptr && key != known->name) {
        if (known->kind == GlobalKind::kLength)
          Warn(c, l.number,
               "key " + Quote(key) + " is ignored: the length keys must be written with exact "
                   "letter case, '" + known->name + "'");
        else
          Warn(c, l.number,
               "key " + Quote(key) + " differs in letter case from '" + known->name +
                   "' (it is read, but the length keys would not be)");
      } else if (known == nullptr && !l.hasEquals) {
        Warn(c, l.number, "line " + Quote(l.delivered) + " in [Globals] has no '=' and sets nothing");
      } else if (known == nullptr) {
        Warn(c, l.number,
             "unknown key " + Quote(key) + " in [Globals]; did you mean '" +
                 Nearest(kGlobalKeys, key)->name + "'?");
      }
    }
    if (!l.hasEquals) continue;

    // Only the first setting of a key is read.
    const IniLine* first = FindKey(c->globalKeys, key);
    if (first != &l) {
      Warn(c, l.number,
           "key " + Quote(key) + " is set again; only the first setting (line " +
               std::to_string(first->number) + ") is read");
      continue;
    }
    if (known == nullptr) continue;
    if (known->kind == GlobalKind::kText) {
      if (l.value.size() > kTextLimit)
        Warn(c, l.number,
             "the value of '" + std::string(known->name) + "' is longer than 254 characters and "
                 "is cut to its first 254");
      continue;
    }
    bool ok = false;
    ReadInteger(l.value, &ok);
    if (!ok)
      Warn(c, l.number,
           "the value " + Quote(l.value) + " of '" + known->name + "' is not a number and reads as 0");
  }
}

// Bytes at either end of an entry that look blank but that the reader keeps
// (it removes only spaces and tabs, and CRs at the end), so the entry can
// never match.
const char* KeptBlankAtEnds(std::string_view e) {
  struct Blank {
    std::string_view bytes;
    const char* name;
  };
  static constexpr Blank kBlanks[] = {
      {"\xC2\xA0", "a no-break space"},       {"\xE2\x80\x8B", "a zero-width space"},
      {"\xE3\x80\x80", "an ideographic space"}, {"\xA0", "a no-break space"},
      {"\v", "a vertical tab"},               {"\f", "a form feed"},
  };
  for (const Blank& b : kBlanks) {
    if (e.size() >= b.bytes.size() &&
        (e.substr(0, b.bytes.size()) == b.bytes || e.substr(e.size() - b.bytes.size()) == b.bytes))
      return b.name;
  }
  return nullptr;
}

bool HasInlineComment(std::string_view entry, ListKind kind) {
  // In a sequence list ';' may be the very thing refused, so only a ';' after
  // a blank reads as a comment there.
  if (kind != ListKind::kSequence) return entry.find(';') != std::string_view::npos;
  return entry.find(" ;") != std::string_view::npos || entry.find("\t;") != std::string_view::npos;
}

void LintLimits(Context* c, const IniSection& s) {
  KeyIndex keys = NewTextTable<const IniLine*>(true, s.lines.size());
  for (size_t i = 0; i < s.lines.size(); ++i) {
    const IniLine& l = s.lines[i];
    if (!l.hasEquals) {
      Warn(c, l.number,
           "line " + Quote(l.delivered) + " in [ValidMaxLenByHeader] has no '=' and is skipped; "
               "write Name=limit");
      continue;
    }
    // The limit is looked up again by the header name, so a second line for
    // the same header gets the first line's limit.
    const IniLine* first = keys.emplace(l.key, &l).first->second;
    if (first != &l) {
      Warn(c, l.number,
           "header " + Quote(l.key) + " is listed again; its limit is looked up by name, so this "
               "line gets the limit of line " + std::to_string(first->number) + " (" +
               Printable(first->value) + ")");
      continue;
    }
    bool ok = false;
    ReadInteger(l.value, &ok);
    if (!ok)
      Warn(c, l.number,
           "the limit " + Quote(l.value) + " of header " + Quote(l.key) + " is not a number and "
               "reads as 0, which refuses every non-empty value");
  }
}

void LintList(Context* c, const IniSection& s, const KnownSection& k) {
  if (k.kind == ListKind::kLimits) {
    LintLimits(c, s);
    return;
  }
  // The first line of each entry, compared as the list compares entries.
  TextTable<uint32_t> firstEntries = NewTextTable<uint32_t>(!k.caseSensitive, s.lines.size());
  for (size_t i = 0; i < s.lines.size(); ++i) {
    const IniLine& l = s.lines[i];
    const std::string& e = l.delivered;
    if (HasInlineComment(e, k.kind))
      Warn(c, l.number,
           "entry " + Quote(e) + " holds a ';' comment; comments must stand on a line of their "
               "own, here the whole line is the entry");
    if (const char* blank = KeptBlankAtEnds(e))
      Warn(c, l.number,
           "entry " + Quote(e) + " begins or ends with " + blank + ", which is kept as part of "
               "the entry");
    if (k.kind == ListKind::kExtension && e[0] != '.')
      Warn(c, l.number,
           "extension " + Quote(e) + " has no leading dot and can never match; write " +
               Quote("." + e));
    auto [first, isNew] = firstEntries.emplace(e, l.number);
    if (!isNew)
      Warn(c, l.number,
           "entry " + Quote(e) + " is listed again (first on line " +
               std::to_string(first->second) + ")");
  }
}

void LintSection(Context* c, const IniSection& s) {
  if (s.duplicate) {
    Warn(c, s.number,
         "section [" + Printable(s.name) + "] appears again; only the first one (line " +
             std::to_string(s.firstNumber) + ") is read");
    return;
  }
  if (SameNoCase(s.name, "Globals")) {
    LintGlobals(c, s);
    return;
  }
  const KnownSection* known = nullptr;
  for (const KnownSection& k : kSections)
    if (SameNoCase(s.name, k.name)) known = &k;
  if (known == nullptr) {
    std::string nearest = EditDistance(s.name, "Globals") <=
                                  EditDistance(s.name, Nearest(kSections, s.name)->name)
                              ? "Globals"
                              : Nearest(kSections, s.name)->name;
    Warn(c, s.number,
         "unknown section [" + Printable(s.name) + "] is never read; did you mean [" + nearest +
             "]?");
    return;
  }
  const GlobalKey* switchKey = FindGlobalKey(known->switchKey, std::strlen(known->switchKey));
  int32_t value = GlobalInt(*c, switchKey->name, switchKey->deflt);
  bool read = known->readWhenSwitchOn ? value != 0 : value == 0;
  if (!read) {
    std::string why = std::string(known->switchKey) + " is " + std::to_string(value);
    if (known->otherName != nullptr)
      Warn(c, s.number,
           "section [" + Printable(s.name) + "] is not read: " + why + ", which selects [" +
               known->otherName + "]");
    else
      Warn(c, s.number, "section [" + Printable(s.name) + "] is not read: " + why);
  }
  LintList(c, s, *known);
}

}  // namespace

size_t EditDistance(std::string_view a, std::string_view b) {
  auto lower = [](char ch) { return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch | 0x20) : ch; };
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + cost});
      diagonal = above;
    }
  }
  return row[b.size()];
}

namespace {

// The consequence of a file the reader finds nothing in.
constexpr const char kReadsAsEmpty[] =
    "every setting keeps its default and every list is empty, so no verb is allowed and every "
    "request is refused";

// A file in UTF-16 or with CR-only line ends loads without an error as an
// empty policy. True (with the warning) when the file is such a one: the
// lint of its lines would only add noise then.
bool LintUnreadableText(Context* c, std::string_view content) {
  if (content.substr(0, 2) == "\xFF\xFE" || content.substr(0, 2) == "\xFE\xFF") {
    Warn(c, 1,
         std::string("the file is UTF-16 text (it begins with the byte order mark ") +
             (content[0] == '\xFF' ? "FF FE" : "FE FF") +
             "); the reader takes it byte by byte and finds no section or key in it: " +
             kReadsAsEmpty + "; save it as ASCII or UTF-8");
    return true;
  }
  // UTF-16 without a byte order mark: a NUL beside nearly every character.
  size_t sample = content.size() < 4096 ? content.size() : 4096;
  size_t nuls[2] = {0, 0};
  for (size_t i = 0; i < sample; ++i)
    if (content[i] == '\0') ++nuls[i & 1];
  if (sample >= 8 && (nuls[0] * 4 >= sample || nuls[1] * 4 >= sample)) {
    Warn(c, 1,
         std::string("the file looks like UTF-16 text without a byte order mark (a NUL beside "
                     "every character); the reader takes it byte by byte and finds no section or "
                     "key in it: ") +
             kReadsAsEmpty + "; save it as ASCII or UTF-8");
    return true;
  }
  if (content.find('\n') == std::string_view::npos &&
      content.find('\r') != std::string_view::npos) {
    Warn(c, 1,
         std::string("the file's lines end in CR alone; the reader ends a line at LF only, so the "
                     "whole file is one line and no key or list entry is read: ") +
             kReadsAsEmpty + "; save it with LF or CR LF line ends");
    return true;
  }
  return false;
}

// A CR inside a line (not among the blanks at its end) is kept as part of
// the line: a CR-only line end in an otherwise LF file joins two lines.
void LintInnerCarriageReturns(Context* c, std::string_view content) {
  uint32_t number = 0;
  for (size_t pos = 0; pos < content.size();) {
    size_t end = content.find('\n', pos);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = content.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    line = line.substr(0, line.find('\0'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.remove_suffix(1);
    if (line.find('\r') != std::string_view::npos)
      Warn(c, number,
           "line " + Quote(line) + " holds a CR that does not end it; the reader ends a line at "
               "LF only, so what follows the CR belongs to the same line");
  }
}

}  // namespace

std::vector<LintWarning> LintIni(std::string_view content) {
  Context c{{}, nullptr, NewTextTable<const IniLine*>(true, 0)};
  if (LintUnreadableText(&c, content)) return std::move(c.warnings);
  LintInnerCarriageReturns(&c, content);
  IniText ini = ParseIniText(content);
  for (const IniSection& s : ini.sections)
    if (!s.duplicate && SameNoCase(s.name, "Globals")) c.globals = &s;
  c.globalKeys = IndexKeys(c.globals);
  if (content.substr(0, 3) == "\xEF\xBB\xBF")
    Warn(&c, 1,
         "the file begins with a UTF-8 byte order mark, which the reader takes as part of the "
         "first line; save it without one");
  for (uint32_t line : ini.orphanLines)
    Warn(&c, line, "line before the first section is ignored");
  for (const IniSection& s : ini.sections) LintSection(&c, s);
  std::stable_sort(c.warnings.begin(), c.warnings.end(),
                   [](const LintWarning& a, const LintWarning& b) { return a.line < b.line; });
  return std::move(c.warnings);
}

}  // namespace rg::tool
