// Readers of a Windows-style INI file on POSIX.
//
// Each call reads the file afresh in one pass through a small stack buffer.
// Nothing is taken from the heap: the readers have no way to report a
// failure, so a reader that needed memory could hand the loader an emptier
// policy (a missing deny list) when memory is short at start-up. Lines are
// never collected in a line buffer either, so a line of any length is
// handled whole: its bytes go straight to the caller's buffer (or through a
// name comparison or a number parser), and the blanks at its end are written
// tentatively and taken back when the line turns out to end there.
//
// The rules a user's existing file relies on:
// - "[name]" opens a section; the name is compared without regard to ASCII
//   letter case and without the blanks around it; what follows the ']' is
//   ignored. A line starting with '[' always opens a section; without ']'
//   the name runs to the end of the line.
// - Lines before the first section belong to no section.
// - Blank lines and lines whose first non-blank byte is ';' are skipped.
// - Blanks (space, tab) are removed around a line, around the key before the
//   first '=' and around the value after it; the CR of a CR LF line end goes
//   with the trailing blanks.
// - A NUL byte inside a line ends that line's text; the rest of the line is
//   skipped.
// - Only the first section of a name counts: reading stops where it ends,
//   so a later section of the same name is never seen. Within it the first
//   line of a key wins for value reads; a section read delivers every line.
// - Values are taken whole: quotes and ';' inside them are kept, except
//   that a string read drops one pair of quotes (" or ') enclosing the
//   whole value, as the Windows reader does: ChangeBanner="My Server" is
//   the banner My Server on both.
// - A missing or unreadable file reads as an empty one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/text.h"

namespace rg {

namespace {

constexpr size_t kReadChunk = 8192;

// Blanks skipped at the start of a line, key or value.
inline bool IsLeadBlank(uint8_t b) { return b == ' ' || b == '\t'; }
// Bytes dropped at the end of a line, key or value: the blanks and the CR of
// a CR LF line end.
inline bool IsTrailBlank(uint8_t b) { return b == ' ' || b == '\t' || b == '\r'; }

// Compares a name that arrives byte by byte (its leading blanks already
// skipped) with the wanted name, without regard to ASCII case. A run of
// trailing blanks is held open: it must match the wanted name only if more
// of the name follows it.
struct NameMatch {
  const uint8_t* want;
  uint64_t wantLength;
  uint64_t matched;  // bytes of want matched by the name so far
  uint64_t pending;  // length of the blank run not yet known to be inside the name
  bool pendingOk;    // that run matches want from `matched` on
  bool failed;
};

void NameStart(NameMatch* m) {
  m->matched = 0;
  m->pending = 0;
  m->pendingOk = true;
  m->failed = false;
}

void NameFeed(NameMatch* m, uint8_t b) {
  if (m->failed) return;
  uint64_t at = m->matched + m->pending;
  bool same = at < m->wantLength && AsciiLower(b) == AsciiLower(m->want[at]);
  if (IsTrailBlank(b)) {
    if (!same) m->pendingOk = false;
    ++m->pending;
    return;
  }
  if (!m->pendingOk || !same) {
    m->failed = true;
    return;
  }
  m->matched = at + 1;
  m->pending = 0;
}

// The name has ended (its trailing blank run is dropped).
bool NameEquals(const NameMatch* m) { return !m->failed && m->matched == m->wantLength; }

// Sets up a wanted name, trimmed like the names in the file.
void NameWant(NameMatch* m, const char* name) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(name);
  size_t n = std::strlen(name);
  while (n > 0 && IsLeadBlank(*p)) ++p, --n;
  while (n > 0 && IsTrailBlank(p[n - 1])) --n;
  m->want = p;
  m->wantLength = n;
  NameStart(m);
}

// The leading number of a value: an optional '-' or '+', then decimal digits, or
// hexadecimal digits after 0x / 0X. Wraps modulo 2^32 like a 32-bit
// accumulator.
enum NumState : uint8_t { kNumStart, kNumSign, kNumZero, kNumDecimal, kNumHex, kNumEnd };

struct NumParse {
  NumState state;
  bool negative;
  uint32_t value;
};

int HexDigit(uint8_t b) {
  if (b >= '0' && b <= '9') return b - '0';
  if (b >= 'a' && b <= 'f') return b - 'a' + 10;
  if (b >= 'A' && b <= 'F') return b - 'A' + 10;
  return -1;
}

void NumFeed(NumParse* n, uint8_t b) {
  bool digit = b >= '0' && b <= '9';
  switch (n->state) {
    case kNumStart:
      if (b == '-' || b == '+') {
        n->negative = b == '-';
        n->state = kNumSign;
        return;
      }
      [[fallthrough]];
    case kNumSign:
      if (b == '0') {
        n->state = kNumZero;
      } else if (digit) {
        n->value = uint32_t(b - '0');
        n->state = kNumDecimal;
      } else {
        n->state = kNumEnd;
      }
      return;
    case kNumZero:
      if (b == 'x' || b == 'X') {
        n->state = kNumHex;
        return;
      }
      [[fallthrough]];
    case kNumDecimal:
      if (digit) {
        n->value = n->value * 10u + uint32_t(b - '0');
        n->state = kNumDecimal;
      } else {
        n->state = kNumEnd;
      }
      return;
    case kNumHex:
      if (HexDigit(b) >= 0)
        n->value = n->value * 16u + uint32_t(HexDigit(b));
      else
        n->state = kNumEnd;
      return;
    case kNumEnd:
      return;
  }
}

uint32_t NumResult(const NumParse* n) { return n->negative ? 0u - n->value : n->value; }

// The caller's buffer. Bytes beyond `cap` are counted but not stored, so a
// tentative blank run can be taken back even when it ran past the end.
struct Sink {
  char* buffer;
  uint64_t cap;
  uint64_t pos;
  uint64_t high;  // one past the last byte ever stored
  bool inRun;     // the bytes from runStart on are trailing blanks so far
  uint64_t runStart;
};

void SinkPut(Sink* s, uint8_t b) {
  if (s->pos < s->cap) {
    s->buffer[s->pos] = char(b);
    if (s->pos + 1 > s->high) s->high = s->pos + 1;
  }
  ++s->pos;
}

// A byte of a key or value: blanks are written tentatively.
void SinkText(Sink* s, uint8_t b) {
  if (IsTrailBlank(b)) {
    if (!s->inRun) {
      s->inRun = true;
      s->runStart = s->pos;
    }
  } else {
    s->inRun = false;
  }
  SinkPut(s, b);
}

// The key or value ends here: its trailing blanks are taken back.
void SinkDropRun(Sink* s) {
  if (s->inRun) s->pos = s->runStart;
  s->inRun = false;
}

// Clears the bytes stored beyond `end` by tentative blanks that were taken
// back, so nothing but the result is left in the caller's buffer.
void SinkClearFrom(Sink* s, uint64_t end) {
  if (s->high > end) std::memset(s->buffer + end, 0, size_t(s->high - end));
}

enum Mode : uint8_t { kModeSection, kModeString, kModeInt };

enum LineState : uint8_t {
  kLineStart,    // leading blanks of a line
  kSkipLine,     // the rest of the line means nothing
  kSectionLead,  // blanks after '['
  kSectionName,  // the section name, up to ']'
  kKey,          // a line of the wanted section, before its first '='
  kValueLead,    // blanks after the '='
  kValue,        // the value
};

struct Reader {
  Mode mode;
  LineState state;
  bool inTarget;  // the lines being read belong to the wanted section
  bool done;      // the answer is complete; the rest of the file is not read
  bool cut;       // section read: the lines did not fit
  NameMatch section;
  NameMatch key;  // string and integer reads
  Sink out;       // section lines, or the string value
  uint64_t lineStart;
  bool found;      // string and integer reads: the key's line was found
  bool valueSeen;  // integer read: the value is not empty
  NumParse number;
};

// A line of the wanted section (or its value) has ended.
void LineEnd(Reader* r) {
  if (r->mode == kModeSection) {
    SinkDropRun(&r->out);
    if (r->out.pos == r->lineStart) return;  // nothing but blanks: not a line
    SinkPut(&r->out, 0);
    if (r->out.pos > r->out.cap) {
      r->cut = true;
      r->done = true;
    }
    return;
  }
  if (r->found) {
    SinkDropRun(&r->out);
    r->done = true;
  }
}

// A byte of the key part of a line in the wanted section.
void KeyByte(Reader* r, uint8_t b) {
  if (r->mode == kModeSection) {
    if (b == '=') {
      SinkDropRun(&r->out);
      SinkPut(&r->out, '=');
      r->state = kValueLead;
    } else {
      SinkText(&r->out, b);
    }
    return;
  }
  if (b != '=') {
    NameFeed(&r->key, b);
    return;
  }
  if (NameEquals(&r->key)) {
    r->found = true;
    r->state = kValueLead;
  } else {
    r->state = kSkipLine;
  }
}

void ValueByte(Reader* r, uint8_t b) {
  if (r->mode == kModeInt) {
    if (!IsTrailBlank(b)) r->valueSeen = true;
    NumFeed(&r->number, b);
  } else {
    SinkText(&r->out, b);
  }
}

// Feeds one byte that is not a line end ('\n' and NUL are handled by Feed).
void FeedByte(Reader* r, uint8_t b) {
  switch (r->state) {
    case kLineStart:
      if (IsLeadBlank(b)) return;
      if (b == ';') {
        r->state = kSkipLine;
        return;
      }
      if (b == '[') {
        if (r->inTarget) {  // the wanted section ends here
          r->done = true;
          return;
        }
        NameStart(&r->section);
        r->state = kSectionLead;
        return;
      }
      if (!r->inTarget) {
        r->state = kSkipLine;
        return;
      }
      r->lineStart = r->out.pos;
      NameStart(&r->key);
      r->state = kKey;
      KeyByte(r, b);
      return;
    case kSkipLine:
      return;
    case kSectionLead:
      if (IsLeadBlank(b)) return;
      r->state = kSectionName;
      [[fallthrough]];
    case kSectionName:
      if (b == ']') {
        r->inTarget = NameEquals(&r->section);
        r->state = kSkipLine;
      } else {
        NameFeed(&r->section, b);
      }
      return;
    case kKey:
      KeyByte(r, b);
      return;
    case kValueLead:
      if (IsLeadBlank(b)) return;
      r->state = kValue;
      [[fallthrough]];
    case kValue:
      ValueByte(r, b);
      return;
  }
}

// '\n' or NUL: the line's text ends. After a NUL the rest of the line is
// skipped.
void FeedLineEnd(Reader* r, uint8_t b) {
  switch (r->state) {
    case kSectionLead:
    case kSectionName:
      r->inTarget = NameEquals(&r->section);
      break;
    case kKey:
      if (r->mode == kModeSection) LineEnd(r);  // a line without '=' is not a key
      break;
    case kValueLead:
    case kValue:
      LineEnd(r);
      break;
    case kLineStart:
    case kSkipLine:
      break;
  }
  r->state = b == '\n' ? kLineStart : kSkipLine;
}

void Feed(Reader* r, const uint8_t* p, size_t n) {
  const uint8_t* end = p + n;
  while (p < end && !r->done) {
    if (r->state == kSkipLine) {
      const void* nl = std::memchr(p, '\n', size_t(end - p));
      if (nl == nullptr) return;
      p = static_cast<const uint8_t*>(nl) + 1;
      r->state = kLineStart;
      continue;
    }
    uint8_t b = *p++;
    if (b == '\n' || b == 0)
      FeedLineEnd(r, b);
    else
      FeedByte(r, b);
  }
}

// Runs the reader over the file. False, with the last error set, when the
// file cannot be opened or read; the caller then answers as for an empty
// file.
bool ReadProfile(Reader* r, const char* path) {
  if (path == nullptr) {
    SetLastErrorValue(kErrorInvalidParameter);
    return false;
  }
  int fd;
  do {
    // O_NONBLOCK keeps a FIFO in the INI file's place from blocking the open.
    fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetLastErrorValue(WinErrorFromErrno(errno));
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    SetLastErrorValue(kErrorAccessDenied);  // a directory or a device reads as nothing
    return false;
  }
  uint8_t chunk[kReadChunk];
  bool ok = true;
  while (!r->done) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      SetLastErrorValue(WinErrorFromErrno(errno));
      ok = false;
      break;
    }
    if (got == 0) {
      Feed(r, reinterpret_cast<const uint8_t*>("\n"), 1);  // a last line without its end
      break;
    }
    Feed(r, chunk, size_t(got));
  }
  close(fd);
  return ok;
}

void ReaderStart(Reader* r, Mode mode, const char* section, const char* key, char* buffer,
                 uint64_t cap) {
  std::memset(r, 0, sizeof *r);
  r->mode = mode;
  r->state = kLineStart;
  NameWant(&r->section, section);
  if (key != nullptr) NameWant(&r->key, key);
  r->out.buffer = buffer;
  r->out.cap = cap;
}

}  // namespace

// Section lines, each with its NUL, then one more NUL. Returns the offset of
// that final NUL, 0 for an empty section, or size - 2 when the lines were
// cut (as Windows does, so a caller can tell).
uint32_t ProfileGetSection(const char* section, char* buffer, uint32_t size, const char* path) {
  if (buffer == nullptr || size == 0) return 0;
  if (size == 1) {
    buffer[0] = '\0';
    return 0;
  }
  uint64_t cap = uint64_t(size) - 2;  // room for the lines; the last two bytes are for NULs
  if (section == nullptr) {
    buffer[0] = buffer[1] = '\0';
    return 0;
  }
  Reader r;
  ReaderStart(&r, kModeSection, section, nullptr, buffer, cap);
  if (!ReadProfile(&r, path)) {
    SinkClearFrom(&r.out, 2);
    buffer[0] = buffer[1] = '\0';
    return 0;
  }
  if (r.cut) {
    buffer[cap] = '\0';
    buffer[cap + 1] = '\0';
    return size - 2;
  }
  uint64_t end = r.out.pos;  // after the last line's NUL; at most cap
  buffer[end] = '\0';
  if (end == 0) buffer[1] = '\0';
  SinkClearFrom(&r.out, end + 1);
  return uint32_t(end);
}

uint32_t ProfileGetInt(const char* section, const char* key, int32_t deflt, const char* path) {
  if (section == nullptr || key == nullptr) return uint32_t(deflt);
  Reader r;
  ReaderStart(&r, kModeInt, section, key, nullptr, 0);
  if (!ReadProfile(&r, path)) return uint32_t(deflt);
  // An empty value counts as absent, as it does for the Windows reader: a
  // "Key=" line left by an editor keeps the default instead of turning a
  // switch or a limit to 0.
  if (!r.found || !r.valueSeen) return uint32_t(deflt);
  return NumResult(&r.number);
}

namespace {

// A string value of length bytes in buffer, whole when it was not cut: a
// whole value loses one pair of quotes that encloses it, as the Windows
// reader does. Returns the new length; the bytes freed are cleared.
uint64_t DropEnclosingQuotes(char* buffer, uint64_t length, bool whole) {
  if (!whole || length < 2 || (buffer[0] != '"' && buffer[0] != '\'') ||
      buffer[length - 1] != buffer[0])
    return length;
  std::memmove(buffer, buffer + 1, size_t(length - 2));
  buffer[length - 2] = buffer[length - 1] = '\0';
  return length - 2;
}

}  // namespace

uint32_t ProfileGetString(const char* section, const char* key, const char* deflt, char* buffer,
                          uint32_t size, const char* path) {
  if (buffer == nullptr || size == 0) return 0;
  uint64_t cap = uint64_t(size) - 1;
  bool found = false;
  Reader r;
  if (section != nullptr && key != nullptr) {
    ReaderStart(&r, kModeString, section, key, buffer, cap);
    found = ReadProfile(&r, path) && r.found;
    SinkClearFrom(&r.out, found ? (r.out.pos < cap ? r.out.pos : cap) : 0);
  }
  uint64_t length = 0;
  if (found) {
    length = DropEnclosingQuotes(buffer, r.out.pos < cap ? r.out.pos : cap, r.out.pos <= cap);
  } else if (deflt != nullptr) {
    length = std::strlen(deflt);
    if (length > cap) length = cap;
    std::memmove(buffer, deflt, size_t(length));
  }
  buffer[length] = '\0';
  return uint32_t(length);
}

int ProfileFindValue(const char* lines, uint32_t size, const char* key, const char** value,
                     uint32_t* valueLength) {
  if (lines == nullptr || key == nullptr) return 0;
  // The wanted name is trimmed like the names in the file.
  size_t keyLength = std::strlen(key);
  while (keyLength > 0 && IsLeadBlank(uint8_t(*key))) ++key, --keyLength;
  while (keyLength > 0 && IsTrailBlank(uint8_t(key[keyLength - 1]))) --keyLength;
  uint32_t pos = 0;
  while (pos < size && lines[pos] != '\0') {
    const void* nul = std::memchr(lines + pos, 0, size - pos);
    uint32_t length =
        nul != nullptr ? uint32_t(static_cast<const char*>(nul) - (lines + pos)) : size - pos;
    const char* line = lines + pos;
    const void* equals = std::memchr(line, '=', length);
    if (equals != nullptr) {
      uint32_t nameLength = uint32_t(static_cast<const char*>(equals) - line);
      if (nameLength == keyLength && BytesEqualNoCase(line, key, nameLength)) {
        *value = line + nameLength + 1;
        *valueLength = length - nameLength - 1;
        return 1;
      }
    }
    pos += length + 1;
  }
  return 0;
}

uint32_t ProfileCopyString(const char* value, uint32_t length, char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  uint64_t cap = uint64_t(size) - 1;
  uint64_t copied = length < cap ? length : cap;
  std::memmove(buffer, value, size_t(copied));
  copied = DropEnclosingQuotes(buffer, copied, length <= cap);
  buffer[copied] = '\0';
  return uint32_t(copied);
}

uint32_t ProfileParseInt(const char* value, uint32_t length, int32_t deflt) {
  NumParse number{};
  bool seen = false;
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t b = uint8_t(value[i]);
    if (!IsTrailBlank(b)) seen = true;
    NumFeed(&number, b);
  }
  // An empty value counts as absent, as for ProfileGetInt.
  return seen ? NumResult(&number) : uint32_t(deflt);
}

}  // namespace rg
