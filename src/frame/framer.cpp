// The framer: llhttp in strict mode does the parsing; a byte checker of our
// own watches every byte that is not message body (the head, chunk lines,
// the CR LF after chunk data, trailers) for the forms llhttp lets through
// but another server could read differently; callbacks refuse the header
// combinations that make a body's length disputable.
//
// Both parts see the same bytes in the same order whatever the caller's
// splitting: llhttp runs to its next pause, error or the end of the bytes,
// then the checker walks exactly the bytes llhttp took. A refusal is the
// one at the earliest byte; when both fault the same byte the checker's
// more precise reason wins. llhttp pauses (callbacks returning HPE_PAUSED)
// after the head, after each chunk-size line and after each message, which
// is where the checker changes what it expects.
#include "frame/framer.h"
#include "frame/llhttp_execute.h"

#include <llhttp.h>

#include <cstring>
#include <new>

#include "scan/byte_scan.h"

namespace rg {

#if defined(RG_LLHTTP_SSE42)
// The copy of llhttp's parser built for SSE4.2 (see CMakeLists.txt). Both
// copies come from the same source: a parser either has begun continues in
// the other alike.
extern "C" int rg_llhttp_sse42_execute(llhttp_t* parser, const char* p, const char* endp);
#endif

llhttp_errno_t LlhttpExecute(llhttp_t* parser, const char* data, size_t length) {
#if defined(RG_LLHTTP_SSE42)
  if (ByteScanActiveLevel() == ByteScanLevel::kAvx2)
    return static_cast<llhttp_errno_t>(rg_llhttp_sse42_execute(parser, data, data + length));
#endif
  return llhttp_execute(parser, data, length);
}

namespace {

// What the checker expects of the next byte.
enum class Section : uint8_t {
  kHead,            // an empty line or two, the start line, header lines
  kHeadEnded,       // the empty line ending the head has passed
  kBody,            // a body of known length or up to the connection's end
  kChunkLine,       // chunk size and extensions up to CR LF
  kChunkLineEnded,  // llhttp is to report the chunk header here
  kChunkData,       // dataLeft bytes, not examined
  kChunkDataEnd,    // the CR LF after chunk data
  kTrailers,        // trailer lines up to the empty line
  kTrailersEnded,
};

// The header fields the callbacks care about.
enum class Field : uint8_t { kOther, kContentLength, kTransferEncoding, kExpect };

constexpr const char* kFieldNames[] = {"content-length", "transfer-encoding", "expect"};
constexpr uint8_t kFieldNameLengths[] = {14, 17, 6};
constexpr uint8_t kAllFields = 0x7;

constexpr uint32_t kDefaultMaxHead = 64 * 1024;

struct State {
  llhttp_t parser;  // first: callbacks find the state from the parser's address

  uint32_t maxHead;
  FrameError error;    // sticky: the framer is spent
  FrameError pending;  // the refusal a callback made
  bool request;
  bool closed;  // nothing may follow: after an upgrade response or FramerFinish
  // llhttp refused at the byte after the last one fed; the checker is to
  // see that byte before the reason is settled.
  bool deferred;
  llhttp_errno_t deferredErrno;

  // Responses: what the request was.
  bool expectHead;
  bool expectConnect;

  // Events of the current llhttp_execute.
  bool headEvent;
  bool messageEvent;
  bool chunkEvent;

  // The current message, as the callbacks saw it.
  bool sawContentLength;
  bool sawTransferEncoding;
  bool inTrailers;
  bool upgrade;
  bool keepAlive;
  bool expectContinue;
  Field field;
  uint8_t nameMask;    // candidate fields the name still matches
  uint8_t nameLength;  // saturates
  uint8_t valueMatched;
  bool valueWrong;
  bool valueTrailingSpace;
  uint32_t extNameLength;
  uint32_t extValueLength;
  uint64_t chunkSize;

  // The head of the last message whose head completed.
  FrameHead head;

  // The checker.
  Section section;
  bool sawCR;
  bool startLine;     // the start line has not ended yet
  bool leadingEmpty;  // one empty line came before the start line
  bool lineEmpty;     // nothing but perhaps a CR on the current line so far
  bool inName;        // header line, before its ':'
  bool prevSpace;     // start line: the last byte was SP
  bool sawSemicolon;  // chunk line: extensions began
  uint8_t startField;
  uint8_t fieldOffset;
  uint32_t sectionLength;
  uint64_t dataLeft;
};

static_assert(sizeof(State) <= sizeof(Framer::storage), "Framer::storage is too small");
static_assert(alignof(State) <= alignof(Framer), "Framer is not aligned enough");

State* StateOf(Framer* framer) { return std::launder(reinterpret_cast<State*>(framer->storage)); }
const State* StateOf(const Framer* framer) {
  return std::launder(reinterpret_cast<const State*>(framer->storage));
}
State* StateOf(llhttp_t* parser) { return reinterpret_cast<State*>(parser); }

unsigned char Lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }
bool IsSpace(unsigned char c) { return c == ' ' || c == '\t'; }

// ---- Callbacks ----------------------------------------------------------

// A refusal from a callback: llhttp stops with a callback error and
// FramerFeed reports this reason.
int Refuse(State* s, FrameError error) {
  s->pending = error;
  return -1;
}

void ResetField(State* s) {
  s->field = Field::kOther;
  s->nameMask = kAllFields;
  s->nameLength = 0;
  s->valueMatched = 0;
  s->valueWrong = false;
  s->valueTrailingSpace = false;
}

void ResetMessage(State* s) {
  s->sawContentLength = false;
  s->sawTransferEncoding = false;
  s->inTrailers = false;
  s->upgrade = false;
  s->expectContinue = false;
  s->extNameLength = 0;
  s->extValueLength = 0;
  ResetField(s);
}

int OnVersionComplete(llhttp_t* p) {
  if (p->http_major != 1 || p->http_minor > 1) {
    return Refuse(StateOf(p), FrameError::kVersionUnsupported);
  }
  return 0;
}

int OnHeaderField(llhttp_t* p, const char* at, size_t length) {
  State* s = StateOf(p);
  // Most names fail every candidate on their first byte, and the others
  // all but one.
  if (s->nameLength == 0 && length != 0) {
    switch (Lower(static_cast<unsigned char>(at[0]))) {
      case 'c':
        s->nameMask &= 1u << 0;
        break;
      case 't':
        s->nameMask &= 1u << 1;
        break;
      case 'e':
        s->nameMask &= 1u << 2;
        break;
      default:
        s->nameMask = 0;
        break;
    }
  }
  for (int f = 0; f < 3 && s->nameMask != 0; ++f) {
    if ((s->nameMask & (1u << f)) == 0) continue;
    bool same = s->nameLength + length <= kFieldNameLengths[f];
    for (size_t i = 0; same && i < length; ++i)
      same = Lower(static_cast<unsigned char>(at[i])) ==
             static_cast<unsigned char>(kFieldNames[f][s->nameLength + i]);
    if (!same) s->nameMask &= ~(1u << f);
  }
  size_t total = s->nameLength + length;
  s->nameLength = total > 255 ? 255 : static_cast<uint8_t>(total);
  return 0;
}

int OnHeaderFieldComplete(llhttp_t* p) {
  State* s = StateOf(p);
  Field field = Field::kOther;
  for (int f = 0; f < 3; ++f) {
    if ((s->nameMask & (1u << f)) != 0 && s->nameLength == kFieldNameLengths[f]) {
      field = static_cast<Field>(f + 1);
    }
  }
  uint8_t nameLength = s->nameLength;
  ResetField(s);
  s->field = field;
  if (nameLength == 0) {
    return Refuse(s, s->inTrailers ? FrameError::kTrailerInvalid : FrameError::kHeaderInvalid);
  }
  if (s->inTrailers) {
    // A trailer cannot change how the message was framed.
    if (field == Field::kContentLength || field == Field::kTransferEncoding) {
      return Refuse(s, FrameError::kTrailerInvalid);
    }
    return 0;
  }
  if (field == Field::kContentLength) {
    if (s->sawTransferEncoding) return Refuse(s, FrameError::kContentLengthWithTransferEncoding);
    if (s->sawContentLength) return Refuse(s, FrameError::kContentLengthRepeated);
    s->sawContentLength = true;
  } else if (field == Field::kTransferEncoding) {
    if (p->http_major == 1 && p->http_minor == 0) {
      return Refuse(s, FrameError::kTransferEncodingOnHttp10);
    }
    if (s->sawContentLength) return Refuse(s, FrameError::kContentLengthWithTransferEncoding);
    // A second field adds a coding after the first "chunked".
    if (s->sawTransferEncoding) return Refuse(s, FrameError::kTransferCodingUnsupported);
    s->sawTransferEncoding = true;
  }
  return 0;
}

// Matches the value of Transfer-Encoding against "chunked" and of Expect
// against "100-continue", case-insensitively, with optional spaces around.
int OnHeaderValue(llhttp_t* p, const char* at, size_t length) {
  State* s = StateOf(p);
  const char* word;
  if (s->field == Field::kTransferEncoding) {
    word = "chunked";
  } else if (s->field == Field::kExpect) {
    word = "100-continue";
  } else {
    return 0;
  }
  size_t wordLength = std::strlen(word);
  for (size_t i = 0; i < length && !s->valueWrong; ++i) {
    unsigned char c = static_cast<unsigned char>(at[i]);
    if (IsSpace(c)) {
      if (s->valueMatched > 0) s->valueTrailingSpace = true;
    } else if (s->valueTrailingSpace || s->valueMatched >= wordLength ||
               Lower(c) != static_cast<unsigned char>(word[s->valueMatched])) {
      s->valueWrong = true;
    } else {
      ++s->valueMatched;
    }
  }
  return 0;
}

int OnHeaderValueComplete(llhttp_t* p) {
  State* s = StateOf(p);
  bool exact = false;
  if (s->field == Field::kTransferEncoding) {
    exact = !s->valueWrong && s->valueMatched == 7;
    if (!exact) return Refuse(s, FrameError::kTransferCodingUnsupported);
  } else if (s->field == Field::kExpect) {
    exact = !s->valueWrong && s->valueMatched == 12;
    if (exact && s->request) s->expectContinue = true;
  }
  ResetField(s);
  return 0;
}

// Returns HPE_PAUSED so that the caller learns where the head ends before
// any body byte, or tells llhttp that a response has no body whatever its
// headers say (1), or that it leaves HTTP (2; llhttp then pauses for the
// upgrade after the message).
int OnHeadersComplete(llhttp_t* p) {
  State* s = StateOf(p);
  if (p->http_major != 1 || p->http_minor > 1) return Refuse(s, FrameError::kVersionUnsupported);
  s->headEvent = true;
  FrameHead& head = s->head;
  head.versionMajor = p->http_major;
  head.versionMinor = p->http_minor;
  head.status = s->request ? 0 : p->status_code;
  head.chunked = (p->flags & F_CHUNKED) != 0;
  head.hasContentLength = (p->flags & F_CONTENT_LENGTH) != 0;
  head.contentLength = head.hasContentLength ? p->content_length : 0;
  head.methodIsHead = s->request && p->method == HTTP_HEAD;
  head.methodIsConnect = s->request && p->method == HTTP_CONNECT;
  head.expectContinue = s->expectContinue;
  s->upgrade = p->upgrade != 0;
  if (!s->request) {
    uint32_t status = p->status_code;
    if (status == 101 || (s->expectConnect && status / 100 == 2)) {
      s->upgrade = true;
      return 2;
    }
    // A response to HEAD and 1xx, 204 and 304 responses end with their
    // head whatever their headers say.
    if (status / 100 == 1 || status == 204 || status == 304 || s->expectHead) return 1;
  }
  return HPE_PAUSED;
}

int OnChunkHeader(llhttp_t* p) {
  State* s = StateOf(p);
  s->chunkEvent = true;
  s->chunkSize = p->content_length;
  if (p->content_length == 0) s->inTrailers = true;
  return HPE_PAUSED;
}

int OnChunkExtensionName(llhttp_t* p, const char*, size_t length) {
  StateOf(p)->extNameLength += static_cast<uint32_t>(length > 1 ? 1 : length);
  return 0;
}

int OnChunkExtensionNameComplete(llhttp_t* p) {
  State* s = StateOf(p);
  bool empty = s->extNameLength == 0;
  s->extNameLength = 0;
  s->extValueLength = 0;
  return empty ? Refuse(s, FrameError::kChunkExtensionInvalid) : 0;
}

int OnChunkExtensionValue(llhttp_t* p, const char*, size_t length) {
  StateOf(p)->extValueLength += static_cast<uint32_t>(length > 1 ? 1 : length);
  return 0;
}

// "name=" with nothing after the "=" is no chunk-ext-val at all.
int OnChunkExtensionValueComplete(llhttp_t* p) {
  State* s = StateOf(p);
  bool empty = s->extValueLength == 0;
  s->extValueLength = 0;
  return empty ? Refuse(s, FrameError::kChunkExtensionInvalid) : 0;
}

int OnMessageComplete(llhttp_t* p) {
  State* s = StateOf(p);
  s->messageEvent = true;
  // After an upgrade response the connection carries another protocol.
  s->keepAlive = llhttp_should_keep_alive(p) != 0 && !(s->upgrade && !s->request);
  return HPE_PAUSED;
}

// Made when the program or module is loaded, before any thread can ask for
// it: a function-local static would need a thread-safe guard, which on
// Windows pulls in a threads library whose imports (GetTickCount64) the
// systems of IIS 5.x and 6.0 lack, so the DLL would not load there.
const llhttp_settings_t kSettings = [] {
  llhttp_settings_t st;
  llhttp_settings_init(&st);
  st.on_version_complete = OnVersionComplete;
  st.on_header_field = OnHeaderField;
  st.on_header_field_complete = OnHeaderFieldComplete;
  st.on_header_value = OnHeaderValue;
  st.on_header_value_complete = OnHeaderValueComplete;
  st.on_headers_complete = OnHeadersComplete;
  st.on_chunk_header = OnChunkHeader;
  st.on_chunk_extension_name = OnChunkExtensionName;
  st.on_chunk_extension_name_complete = OnChunkExtensionNameComplete;
  st.on_chunk_extension_value = OnChunkExtensionValue;
  st.on_chunk_extension_value_complete = OnChunkExtensionValueComplete;
  st.on_message_complete = OnMessageComplete;
  return st;
}();

const llhttp_settings_t* Settings() { return &kSettings; }

// ---- The checker --------------------------------------------------------

void StartHead(State* s) {
  s->section = Section::kHead;
  s->sawCR = false;
  s->startLine = true;
  s->leadingEmpty = false;
  s->lineEmpty = true;
  s->inName = false;
  s->prevSpace = false;
  s->startField = 0;
  s->fieldOffset = 0;
  s->sectionLength = 0;
}

void StartTrailers(State* s) {
  s->section = Section::kTrailers;
  s->sawCR = false;
  s->startLine = false;
  s->lineEmpty = true;
  s->inName = false;
  s->sectionLength = 0;
}

void StartChunkLine(State* s) {
  s->section = Section::kChunkLine;
  s->sawCR = false;
  s->sawSemicolon = false;
}

FrameError StartLineError(const State* s) {
  return s->request ? FrameError::kRequestLineInvalid : FrameError::kStatusLineInvalid;
}

// One byte of the head or of the trailers. Returns kNone or the refusal.
FrameError LineByte(State* s, unsigned char c) {
  bool trailers = s->section == Section::kTrailers;
  if (++s->sectionLength > s->maxHead) return FrameError::kHeadTooLong;
  if (s->sawCR) {
    if (c != '\n') return FrameError::kBareCarriageReturn;
    s->sawCR = false;
    // A request line needs its three parts: llhttp takes a method and a
    // target alone for HTTP/0.9.
    if (s->startLine && !s->lineEmpty && s->request && (s->startField < 2 || s->fieldOffset < 5)) {
      return FrameError::kRequestLineInvalid;
    }
    if (s->lineEmpty) {
      if (s->startLine) {
        s->leadingEmpty = true;  // the one empty line a client may send first
      } else {
        s->section = trailers ? Section::kTrailersEnded : Section::kHeadEnded;
      }
      return FrameError::kNone;
    }
    s->startLine = false;
    s->lineEmpty = true;
    return FrameError::kNone;
  }
  if (c == '\r') {
    // A second empty line before the start line: the scanner of the core
    // would take it for the end of the head.
    if (s->startLine && s->lineEmpty && s->leadingEmpty) return StartLineError(s);
    s->sawCR = true;
    return FrameError::kNone;
  }
  if (c == '\n') return FrameError::kBareLineFeed;
  if (s->startLine) {
    if (c == ' ') {
      if (s->lineEmpty) return StartLineError(s);
      // Requests have exactly one SP between their three parts; a reason
      // phrase may hold any number.
      if (s->prevSpace && (s->request || s->startField < 2)) return StartLineError(s);
      s->lineEmpty = false;
      s->prevSpace = true;
      if (s->startField < 3) ++s->startField;
      s->fieldOffset = 0;
      return FrameError::kNone;
    }
    s->lineEmpty = false;
    s->prevSpace = false;
    uint8_t versionField = s->request ? 2 : 0;
    if (s->startField == versionField && s->fieldOffset < 5) {
      if (c != static_cast<unsigned char>("HTTP/"[s->fieldOffset])) {
        return FrameError::kVersionUnsupported;
      }
      ++s->fieldOffset;
    }
    return FrameError::kNone;
  }
  if (s->lineEmpty) {
    s->lineEmpty = false;
    s->inName = true;
    if (IsSpace(c)) return FrameError::kObsoleteLineFolding;
    if (c == ':') return trailers ? FrameError::kTrailerInvalid : FrameError::kHeaderInvalid;
  }
  if (s->inName) {
    if (IsSpace(c)) return FrameError::kSpaceBeforeColon;
    if (c == ':') s->inName = false;
  }
  return FrameError::kNone;
}

// How many bytes from p[i] on LineByte would only count: inside the start
// line past the version's "HTTP/" (none right after a SP), inside a header
// name up to a blank, ':' or line end, inside a value up to a line end. The
// run stops short of the head's limit, so that the byte passing it is
// refused as ever.
size_t Unremarkable(const State* s, const unsigned char* p, size_t i, size_t n) {
  if (s->sawCR || s->lineEmpty || n - i > 0xFFFFFFFFu || p[i] == '\r' || p[i] == '\n') return 0;
  ByteScanResult found;
  if (s->startLine) {
    uint8_t versionField = s->request ? 2 : 0;
    if (s->prevSpace || (s->startField == versionField && s->fieldOffset < 5)) return 0;
    found = ScanStartLineBreak(p + i, 0, static_cast<uint32_t>(n - i));
  } else if (s->inName) {
    found = ScanFieldBreak(p + i, 0, static_cast<uint32_t>(n - i));
  } else {
    found = ScanLineBreak(p + i, 0, static_cast<uint32_t>(n - i));
  }
  size_t room = s->sectionLength < s->maxHead ? s->maxHead - s->sectionLength : 0;
  return found.at < room ? found.at : room;
}

// A whole header (or trailer) line from its first byte: a name without
// blanks, ':', a value, CR LF, all within the bytes given and the head's
// limit. Returns its length after leaving the checker where LineByte would
// have left it byte by byte (at the start of the next line), or 0 for any
// other line, which LineByte then walks.
size_t WellFormedFieldLine(State* s, const unsigned char* p, size_t i, size_t n) {
  if (s->startLine || s->sawCR || n - i > 0xFFFFFFFFu) return 0;
  const unsigned char* line = p + i;
  const uint32_t available = static_cast<uint32_t>(n - i);
  uint32_t end = 0;
  // Mostly the scanner's own search settles it: a name of letters, digits
  // and '-' holds no blank, and a value without control bytes no LF.
  HeaderLineScan plain = ScanHeaderLine(line, 0, available);
  if (!plain.nameFlagged && !plain.valueFlagged && plain.nameEnd > 0 &&
      plain.valueEnd < available) {
    end = plain.valueEnd;
  } else {
    ByteScanResult name = ScanFieldBreak(line, 0, available);
    if (name.at == 0 || name.at == available || line[name.at] != ':') return 0;
    end = ScanLineBreak(line, name.at + 1, available).at;
  }
  if (end + 1 >= available || line[end] != '\r' || line[end + 1] != '\n') return 0;
  uint32_t length = end + 2;
  if (s->sectionLength > s->maxHead || length > s->maxHead - s->sectionLength) return 0;
  s->sectionLength += length;
  s->lineEmpty = true;
  s->inName = false;
  return length;
}

// Walks n bytes llhttp has taken. Returns false with the offset of the
// faulty byte and the reason.
bool Check(State* s, const unsigned char* p, size_t n, size_t* at, FrameError* error) {
  size_t i = 0;
  while (i < n) {
    FrameError e = FrameError::kNone;
    unsigned char c = p[i];
    switch (s->section) {
      case Section::kBody:
        return true;
      case Section::kChunkData: {
        uint64_t take = n - i;
        if (take > s->dataLeft) take = s->dataLeft;
        i += static_cast<size_t>(take);
        s->dataLeft -= take;
        if (s->dataLeft == 0) {
          s->section = Section::kChunkDataEnd;
          s->sawCR = false;
        }
        continue;
      }
      case Section::kChunkDataEnd:
        if (!s->sawCR) {
          if (c == '\r') {
            s->sawCR = true;
          } else {
            e = c == '\n' ? FrameError::kBareLineFeed : FrameError::kChunkDataInvalid;
          }
        } else if (c == '\n') {
          StartChunkLine(s);
        } else {
          e = FrameError::kBareCarriageReturn;
        }
        break;
      case Section::kChunkLine:
        if (s->sawCR) {
          if (c == '\n') {
            s->sawCR = false;
            s->section = Section::kChunkLineEnded;
          } else {
            e = FrameError::kBareCarriageReturn;
          }
        } else if (c == '\r') {
          s->sawCR = true;
        } else if (c == '\n') {
          e = FrameError::kBareLineFeed;
        } else if (c == ';') {
          s->sawSemicolon = true;
        } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
          e = s->sawSemicolon ? FrameError::kChunkExtensionInvalid : FrameError::kChunkSizeInvalid;
        }
        break;
      case Section::kHead:
      case Section::kTrailers: {
        // Whole header lines, and runs of bytes that change nothing but the
        // count, are passed over many bytes at a time.
        if (s->lineEmpty) {
          size_t line = WellFormedFieldLine(s, p, i, n);
          if (line > 0) {
            i += line;
            continue;
          }
        } else if (size_t run = Unremarkable(s, p, i, n); run > 0) {
          s->sectionLength += static_cast<uint32_t>(run);
          i += run;
          continue;
        }
        e = LineByte(s, c);
        break;
      }
      case Section::kHeadEnded:
      case Section::kChunkLineEnded:
      case Section::kTrailersEnded:
        // llhttp went on where the checker saw an end.
        e = FrameError::kBoundaryDisputed;
        break;
    }
    if (e != FrameError::kNone) {
      *at = i;
      *error = e;
      return false;
    }
    ++i;
  }
  return true;
}

// ---- Feeding ------------------------------------------------------------

// llhttp errors raised on the byte at the error position, which llhttp has
// looked at: the checker sees that byte too, so that a bare CR or LF gets
// its own reason rather than llhttp's.
bool FaultsByte(llhttp_errno_t e) {
  switch (e) {
    case HPE_INVALID_METHOD:
    case HPE_INVALID_URL:
    case HPE_INVALID_CONSTANT:
    case HPE_INVALID_VERSION:
    case HPE_INVALID_HEADER_TOKEN:
    case HPE_INVALID_CONTENT_LENGTH:
    case HPE_INVALID_CHUNK_SIZE:
    case HPE_INVALID_STATUS:
    case HPE_STRICT:
    case HPE_LF_EXPECTED:
    case HPE_CR_EXPECTED:
    case HPE_UNEXPECTED_SPACE:
      return true;
    default:
      return false;
  }
}

// The reason for an llhttp error, from where the checker stands.
FrameError BySection(const State* s) {
  switch (s->section) {
    case Section::kHead:
      return s->startLine ? StartLineError(s) : FrameError::kHeaderInvalid;
    case Section::kHeadEnded:
      return FrameError::kHeaderInvalid;
    case Section::kChunkLine:
    case Section::kChunkLineEnded:
      return s->sawSemicolon ? FrameError::kChunkExtensionInvalid : FrameError::kChunkSizeInvalid;
    case Section::kChunkData:
    case Section::kChunkDataEnd:
      return FrameError::kChunkDataInvalid;
    case Section::kTrailers:
    case Section::kTrailersEnded:
      return FrameError::kTrailerInvalid;
    case Section::kBody:
      break;
  }
  return FrameError::kOther;
}

FrameError MapError(const State* s, llhttp_errno_t e) {
  if (s->pending != FrameError::kNone) return s->pending;
  const char* reason = s->parser.reason != nullptr ? s->parser.reason : "";
  switch (e) {
    case HPE_INVALID_METHOD:
    case HPE_INVALID_URL:
      return FrameError::kRequestLineInvalid;
    case HPE_INVALID_VERSION:
    case HPE_PAUSED_H2_UPGRADE:
      return FrameError::kVersionUnsupported;
    case HPE_INVALID_STATUS:
      return FrameError::kStatusLineInvalid;
    case HPE_INVALID_CONTENT_LENGTH:
      return FrameError::kContentLengthInvalid;
    case HPE_UNEXPECTED_CONTENT_LENGTH:
      return std::strncmp(reason, "Duplicate", 9) == 0
                 ? FrameError::kContentLengthRepeated
                 : FrameError::kContentLengthWithTransferEncoding;
    case HPE_INVALID_TRANSFER_ENCODING:
      return FrameError::kTransferCodingUnsupported;
    case HPE_CLOSED_CONNECTION:
      return FrameError::kUnexpectedData;
    case HPE_INVALID_CHUNK_SIZE:
      if (std::strcmp(reason, "Chunk size overflow") == 0) return FrameError::kChunkSizeInvalid;
      return BySection(s);
    case HPE_INVALID_CONSTANT:
    case HPE_INVALID_HEADER_TOKEN:
    case HPE_STRICT:
    case HPE_LF_EXPECTED:
    case HPE_CR_EXPECTED:
    case HPE_UNEXPECTED_SPACE:
      return BySection(s);
    default:
      return FrameError::kOther;
  }
}

FrameResult Fail(State* s, size_t at, FrameError error) {
  s->error = error;
  FrameResult r = {};
  r.consumed = at;
  r.error = error;
  return r;
}

// The message has ended: the checker waits for the next one.
void EndMessage(State* s) {
  if (!s->request) {
    // An interim response leaves the request's facts for the final one.
    if (s->head.status >= 200 || s->head.status == 101) {
      s->expectHead = false;
      s->expectConnect = false;
    }
    if (s->upgrade) s->closed = true;
  }
  ResetMessage(s);
  StartHead(s);
}

}  // namespace

const char* FrameErrorMessage(FrameError error) {
  switch (error) {
    case FrameError::kNone:
      return " [No Error] ";
    case FrameError::kContentLengthWithTransferEncoding:
      return " [Ambiguous framing: Content-Length with Transfer-Encoding] ";
    case FrameError::kContentLengthRepeated:
      return " [Ambiguous framing: more than one Content-Length] ";
    case FrameError::kContentLengthInvalid:
      return " [Ambiguous framing: malformed Content-Length] ";
    case FrameError::kTransferCodingUnsupported:
      return " [Ambiguous framing: transfer coding other than chunked] ";
    case FrameError::kTransferEncodingOnHttp10:
      return " [Ambiguous framing: Transfer-Encoding in HTTP/1.0] ";
    case FrameError::kObsoleteLineFolding:
      return " [Ambiguous framing: obsolete line folding] ";
    case FrameError::kSpaceBeforeColon:
      return " [Ambiguous framing: whitespace before header colon] ";
    case FrameError::kBareCarriageReturn:
      return " [Ambiguous framing: CR without LF] ";
    case FrameError::kBareLineFeed:
      return " [Ambiguous framing: LF without CR] ";
    case FrameError::kChunkSizeInvalid:
      return " [Ambiguous framing: malformed chunk size] ";
    case FrameError::kChunkExtensionInvalid:
      return " [Ambiguous framing: malformed chunk extension] ";
    case FrameError::kChunkDataInvalid:
      return " [Ambiguous framing: chunk data not followed by CR LF] ";
    case FrameError::kTrailerInvalid:
      return " [Ambiguous framing: malformed trailer] ";
    case FrameError::kRequestLineInvalid:
      return " [Malformed request line] ";
    case FrameError::kHeaderInvalid:
      return " [Malformed header line] ";
    case FrameError::kVersionUnsupported:
      return " [HTTP version not supported] ";
    case FrameError::kStatusLineInvalid:
      return " [Malformed status line] ";
    case FrameError::kHeadTooLong:
      return " [Message head exceeds allowed length] ";
    case FrameError::kUnexpectedData:
      return " [Data after the last message of the connection] ";
    case FrameError::kBoundaryDisputed:
      return " [Ambiguous framing: parsers disagree on a boundary] ";
    case FrameError::kOther:
    case FrameError::kCount:
      break;
  }
  return " [Malformed message] ";
}

void FramerInit(Framer* framer, FrameKind kind, uint32_t maxHeadLength) {
  std::memset(framer->storage, 0, sizeof(framer->storage));
  State* s = new (framer->storage) State();
  llhttp_init(&s->parser, kind == FrameKind::kRequest ? HTTP_REQUEST : HTTP_RESPONSE, Settings());
  s->request = kind == FrameKind::kRequest;
  s->maxHead = maxHeadLength != 0 ? maxHeadLength : kDefaultMaxHead;
  ResetMessage(s);
  StartHead(s);
}

void FramerExpectResponseTo(Framer* framer, bool headRequest, bool connectRequest) {
  State* s = StateOf(framer);
  s->expectHead = headRequest;
  s->expectConnect = connectRequest;
}

FrameResult FramerFeed(Framer* framer, const void* bytes, size_t length) {
  State* s = StateOf(framer);
  FrameResult r = {};
  if (s->error != FrameError::kNone) {
    r.error = s->error;
    return r;
  }
  static const char kNoBytes[1] = {0};
  const char* base = length != 0 ? static_cast<const char*>(bytes) : kNoBytes;
  if (s->deferred) {
    if (length == 0) return r;
    size_t at = 0;
    FrameError fault = FrameError::kNone;
    if (!Check(s, static_cast<const unsigned char*>(bytes), 1, &at, &fault)) {
      return Fail(s, 0, fault);
    }
    return Fail(s, 0, MapError(s, s->deferredErrno));
  }
  if (s->closed) return length == 0 ? r : Fail(s, 0, FrameError::kUnexpectedData);

  size_t pos = 0;
  size_t limit = length;  // once the head is reported, only steps that take no byte
  for (;;) {
    s->headEvent = false;
    s->messageEvent = false;
    s->chunkEvent = false;
    s->pending = FrameError::kNone;
    size_t start = pos;
    llhttp_errno_t e = LlhttpExecute(&s->parser, base + pos, limit - pos);
    size_t stop = limit;
    if (e != HPE_OK) {
      const char* errorPos = llhttp_get_error_pos(&s->parser);
      stop = pos;
      if (errorPos != nullptr && errorPos >= base + pos && errorPos <= base + limit) {
        stop = static_cast<size_t>(errorPos - base);
      }
    }
    size_t checkEnd = (FaultsByte(e) && stop < limit) ? stop + 1 : stop;
    size_t at = 0;
    FrameError fault = FrameError::kNone;
    if (!Check(s, reinterpret_cast<const unsigned char*>(base) + pos, checkEnd - pos, &at,
               &fault)) {
      return Fail(s, pos + at, fault);
    }
    pos = stop;
    if (FaultsByte(e) && stop == limit) {
      // Whether the next byte has its own reason is known once it comes.
      s->deferred = true;
      s->deferredErrno = e;
      r.consumed = pos;
      return r;
    }
    if (e == HPE_OK) {
      r.consumed = pos;
      return r;
    }
    if (e == HPE_PAUSED) {
      llhttp_resume(&s->parser);
    } else if (e == HPE_PAUSED_UPGRADE) {
      llhttp_resume_after_upgrade(&s->parser);
    } else if (e == HPE_CLOSED_CONNECTION) {
      // llhttp names the byte after the first one that is not part of an
      // empty line.
      return Fail(s, pos > start ? pos - 1 : start, FrameError::kUnexpectedData);
    } else {
      return Fail(s, pos, MapError(s, e));
    }

    if (s->chunkEvent) {
      if (s->section != Section::kChunkLineEnded)
        return Fail(s, pos, FrameError::kBoundaryDisputed);
      if (s->chunkSize > 0) {
        s->section = Section::kChunkData;
        s->dataLeft = s->chunkSize;
      } else {
        StartTrailers(s);
      }
    }
    if (s->headEvent) {
      if (s->section != Section::kHeadEnded) return Fail(s, pos, FrameError::kBoundaryDisputed);
      r.headComplete = true;
      r.headEnd = pos;
      r.upgrade = s->upgrade;
      if (s->head.chunked) {
        StartChunkLine(s);
      } else {
        s->section = Section::kBody;
      }
      // A message without body ends right here; llhttp says so in steps
      // that take no byte.
      limit = pos;
    }
    if (s->messageEvent) {
      if (!r.headComplete && s->section != Section::kBody &&
          s->section != Section::kTrailersEnded) {
        return Fail(s, pos, FrameError::kBoundaryDisputed);
      }
      r.consumed = pos;
      r.messageComplete = true;
      r.messageEnd = pos;
      r.upgrade = s->upgrade;
      r.keepAlive = s->keepAlive;
      EndMessage(s);
      return r;
    }
  }
}

FrameResult FramerFinish(Framer* framer) {
  State* s = StateOf(framer);
  FrameResult r = {};
  if (s->error != FrameError::kNone) {
    r.error = s->error;
    return r;
  }
  if (s->deferred) return Fail(s, 0, MapError(s, s->deferredErrno));
  if (s->closed) return r;
  s->closed = true;
  // Between messages the end is no fault. The checker knows that better
  // than llhttp, which after an upgrade request no longer says so.
  if (s->section == Section::kHead && s->startLine && s->lineEmpty && !s->sawCR) return r;
  s->messageEvent = false;
  llhttp_errno_t e = llhttp_finish(&s->parser);
  if (s->messageEvent) {
    r.messageComplete = true;
    r.upgrade = s->upgrade;
    r.keepAlive = false;
    EndMessage(s);
    return r;
  }
  if (e != HPE_OK) return Fail(s, 0, FrameError::kOther);
  return r;
}

void FramerHead(const Framer* framer, FrameHead* out) { *out = StateOf(framer)->head; }

}  // namespace rg
