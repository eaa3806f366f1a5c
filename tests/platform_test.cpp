// The POSIX platform layer: the INI reader, files and directories with their
// error numbers, the clock and date pictures, text formatting, the lock and
// the module path.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <functional>
#include <memory>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "isapi/isapi.h"
#include "platform/platform.h"
#include "kit/test_kit.h"

namespace rg {
namespace {

using test::TempDir;
using test::WriteTextFile;

constexpr char kUnwritten = '\x7f';  // fills buffers to show what was not written

// The bytes of a buffer with NULs shown as '|' and unwritten bytes as '~'.
std::string Show(const std::string& bytes) {
  std::string shown = bytes;
  for (char& c : shown) {
    if (c == '\0') c = '|';
    if (c == kUnwritten) c = '~';
  }
  return shown;
}

// The section as the loader walks it: from the start up to and including
// the double NUL, NULs shown as '|'.
std::string SectionList(const std::string& buffer) {
  size_t end = buffer.find(std::string("\0\0", 2));
  return Show(end == std::string::npos ? buffer : buffer.substr(0, end + 2));
}

std::string ReadSection(const std::string& path, const char* section, uint32_t size,
                        uint32_t* result = nullptr) {
  std::string buffer(size, kUnwritten);
  uint32_t r = ProfileGetSection(section, buffer.data(), size, path.c_str());
  if (result != nullptr) *result = r;
  return buffer;
}

// ---------------------------------------------------------------- sections

TEST(ProfileSection, DeliversTheFirstSectionsLinesTrimmedInFileOrder) {
  struct Case {
    const char* name;
    std::string ini;
    const char* section;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"file order, comments and blank lines",
       "[Verbs]\nGET\n; a comment\n\n   \nPOST\n  ;indented comment\nHEAD\n", "Verbs",
       "GET|POST|HEAD||"},
      {"section name without regard to case", "[verbALLOW]\nGET\n", "VerbAllow", "GET||"},
      {"blanks around lines, keys and values", "[S]\n  Key  =  value  \n\tPlain line\t\nA = b c \n",
       "S", "Key=value|Plain line|A=b c||"},
      {"values kept whole: quotes and ';'", "[S]\nBanner = \"My Server\" ; kept\nx=;y\n", "S",
       "Banner=\"My Server\" ; kept|x=;y||"},
      {"duplicate keys all delivered", "[S]\nk=1\nK=2\nk=1\n", "S", "k=1|K=2|k=1||"},
      {"a duplicate section is ignored", "[S]\na\n[T]\nb\n[s]\nc\n", "S", "a||"},
      {"an empty first section hides a later one", "[S]\n[T]\nb\n[S]\nc\n", "S", "||"},
      {"lines before the first section belong to none", "orphan=1\n[S]\na\n", "S", "a||"},
      {"the next header ends the section, even indented", "[S]\na\n  [T]\nb\n", "S", "a||"},
      {"missing section", "[S]\na\n", "Other", "||"},
      {"empty file", "", "S", "||"},
      {"CR LF line ends", "[S]\r\nGET\r\n\r\nk = v \r\n;c\r\n", "S", "GET|k=v||"},
      {"a NUL ends the line's text", std::string("[S]\nab\0cd\n\0xyz\nef\n", 19), "S",
       "ab|ef||"},
      {"high-bit bytes pass unchanged", "[S]\n\xC0\xAF/\xFF\n", "S", "\xC0\xAF/\xFF||"},
      {"header with blanks and trailing text", "[ S ] trailing text\na\n", "S", "a||"},
      {"inner blanks of a header name count", "[S T]\na\n[S  T]\nb\n", "S  T", "b||"},
      {"header without ']'", "[S\na\n", "S", "a||"},
      {"a line of only '='", "[S]\n  =  \n", "S", "=||"},
      {"a line of blanks and CR is blank", "[S]\n \t\r\na\n", "S", "a||"},
      {"blanks inside values and keys kept", "[S]\nX  Y = a \t b\n", "S", "X  Y=a \t b||"},
      {"last line without a line end", "[S]\nGET", "S", "GET||"},
      {"'#' is not a comment", "[S]\n#x\n", "S", "#x||"},
  };
  TempDir dir;
  std::string path = dir.File("Ravelgard.ini");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteTextFile(path, c.ini);
    EXPECT_EQ(Show(c.expected), SectionList(ReadSection(path, c.section, 4096)));
  }
}

TEST(ProfileSection, MissingOrUnreadableFileReadsAsEmpty) {
  TempDir dir;
  for (const std::string& path : {dir.File("missing.ini"), dir.File("no/such/dir.ini"), dir.path}) {
    SCOPED_TRACE(path);
    uint32_t result = 99;
    EXPECT_EQ("||~~", Show(ReadSection(path, "S", 4, &result)));
    EXPECT_EQ(0u, result);
  }
}

// The cut keeps the double NUL inside the buffer: the last line that does
// not fit is cut short, and nothing is written past size.
TEST(ProfileSection, CutSoThatTheDoubleNulFits) {
  struct Case {
    uint32_t size;
    std::string expected;  // the whole buffer
    uint32_t result;
  };
  const std::vector<Case> cases = {
      {0, "", 0},
      {1, "|", 0},
      {2, "||", 0},
      {5, "GET||", 3},
      {6, "GET|||", 4},
      {8, "GET|PO||", 6},
      {11, "GET|POST|||", 9},
      {15, "GET|POST|HEAD||", 13},
      {16, "GET|POST|HEAD||~", 14},
  };
  TempDir dir;
  std::string path = dir.File("cut.ini");
  WriteTextFile(path, "[S]\nGET\nPOST\nHEAD\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    // A guard byte after the buffer shows a write past its end.
    std::string buffer(c.size + 1, kUnwritten);
    uint32_t result = ProfileGetSection("S", buffer.data(), c.size, path.c_str());
    EXPECT_EQ(c.expected + "~", Show(buffer));
    EXPECT_EQ(c.result, result);
  }
}

// Trailing blanks are written before the reader knows they trail; a run that
// goes past the end of the buffer must still be taken back in full.
TEST(ProfileSection, TrailingBlankRunLongerThanTheBuffer) {
  TempDir dir;
  std::string path = dir.File("blanks.ini");
  WriteTextFile(path, "[S]\nab" + std::string(5000, ' ') + "\ncd =" + std::string(5000, '\t') +
                          "  e\n");
  std::string buffer = ReadSection(path, "S", 16);
  EXPECT_EQ("ab|cd=e||", SectionList(buffer));
  EXPECT_EQ(std::string::npos, buffer.find_first_of(" \t")) << "blanks left behind";
  EXPECT_EQ(std::string(2, kUnwritten), buffer.substr(14)) << "wrote past the room for lines";
}

TEST(ProfileSection, VeryLongLineDeliveredWhole) {
  TempDir dir;
  std::string path = dir.File("long.ini");
  std::string line = "X=" + std::string(1 << 20, 'v');
  line[1000] = ' ';
  WriteTextFile(path, "[S]\n" + line + "\nnext\n[T]\n");
  std::string buffer = ReadSection(path, "S", uint32_t(line.size() + 16));
  EXPECT_EQ(line + '\0' + "next" + '\0' + '\0', buffer.substr(0, line.size() + 7));
}

// ---------------------------------------------------------------- values

TEST(ProfileInt, LeadingNumberOfTheValue) {
  struct Case {
    std::string value;
    uint32_t expected;
  };
  const std::vector<Case> cases = {
      {"55zz", 55},
      {"0x1F", 31},
      {"0X1f", 31},
      {"-1", 0xFFFFFFFFu},
      {"+5", 5},
      {"+-5", 0},
      {"-0x10", 0xFFFFFFF0u},
      {"abc", 0},
      {"-", 0},
      {"0x", 0},
      {"0xZZ", 0},
      {"007", 7},
      {"  42  ", 42},
      {"12 34", 12},
      {"1;comment", 1},
      {"\"5\"", 0},
      {"4294967295", 0xFFFFFFFFu},
      {"4294967297", 1},
      {"0x1FFFFFFFF", 0xFFFFFFFFu},
      {"-2147483648", 0x80000000u},
      {"", 7},  // an empty value keeps the default
      {" \t", 7},
  };
  TempDir dir;
  std::string path = dir.File("int.ini");
  for (const Case& c : cases) {
    SCOPED_TRACE("value '" + c.value + "'");
    WriteTextFile(path, "[Globals]\r\nKey=" + c.value + "\r\n");
    EXPECT_EQ(c.expected, ProfileGetInt("Globals", "Key", 7, path.c_str()));
  }
}

TEST(ProfileInt, FindsTheFirstKeyOfTheFirstSection) {
  struct Case {
    const char* name;
    std::string ini;
    const char* key;
    uint32_t expected;  // the default is 77
  };
  const std::vector<Case> cases = {
      {"section and key without regard to case", "[globals]\nURLMAXLEN=5\n", "UrlMaxLen", 5},
      {"absent key", "[Globals]\nOther=5\n", "UrlMaxLen", 77},
      {"blanks around key and value", "[Globals]\n  UrlMaxLen  =  9  \n", "UrlMaxLen", 9},
      {"first of duplicate keys", "[Globals]\nK=1\nk=2\n", "K", 1},
      {"an empty first key hides a later one", "[Globals]\nK=\nK=5\n", "K", 77},
      {"duplicate section ignored", "[Globals]\nA=1\n[Globals]\nK=2\n", "K", 77},
      {"key before the first section", "K=3\n[Globals]\n", "K", 77},
      {"key of another section", "[Other]\nK=4\n[Globals]\nA=1\n", "K", 77},
      {"a line without '=' is no key", "[Globals]\nK\nK 5\n", "K", 77},
      {"a comment is no key", "[Globals]\n;K=1\nK=2\n", "K", 2},
      {"key name is a whole name", "[Globals]\nUrlMaxLength=50\n", "UrlMaxLen", 77},
      {"blanks inside a key name count", "[Globals]\nX  Y=6\n", "x  y", 6},
      {"... and must match", "[Globals]\nX  Y=6\n", "X Y", 77},
      {"an empty key name", "[Globals]\n=5\n", "", 5},
      {"empty file", "", "K", 77},
  };
  TempDir dir;
  std::string path = dir.File("keys.ini");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteTextFile(path, c.ini);
    EXPECT_EQ(c.expected, ProfileGetInt("Globals", c.key, 77, path.c_str()));
  }
  EXPECT_EQ(0xFFFFFFFFu, ProfileGetInt("Globals", "K", -1, dir.File("missing.ini").c_str()));
}

// Values taken from a section read once mean what the per-key readers
// give: the loader reads its Globals keys that way. Tricky keys and values
// in many files, each key asked both as an integer and as text.
TEST(ProfileSectionValues, MeanWhatTheKeyReadersGive) {
  const std::vector<std::string> values = {
      "", " \t", "5", "  42  ", "-5", "--5", "-", "+5", "0x1F", "0X1f", "0x", "-0x10", "0x1FFFFFFFF",
      "'x'", "\"", "\"\"", "'a\"", std::string("\"").append(253, 'q').append("\""), std::string("\"").append(252, 'q').append("\""),
      "4294967297", "-2147483648", "12 34", "1;comment", "\"5\"", "\r5", "5\r\r", "\xEF\xBC\x95",
      "=5", "5=6", "\v5", std::string("5\0" "9", 3), std::string(300, '7'), "a\tb  c",
  };
  std::vector<std::string> files;
  for (const std::string& v : values) files.push_back("[Globals]\r\nKey=" + v + "\r\n");
  const std::vector<std::string> keyFiles = {
      "[globals]\nURLMAXLEN=5\n",      "[Globals]\n  Key  =  9  \n",
      "[Globals]\nK=1\nk=2\n",          "[Globals]\nK=\nK=5\n",
      "[Globals]\nA=1\n[Globals]\nK=2\n", "K=3\n[Globals]\nKey=4",
      "[Globals]\nK\nK 5\nKey\n",       "[Globals]\n;K=1\nK=2\n",
      "[Globals]\nX  Y=6\nKeyX=1\n",    "[Globals]\n=5\n  =6\n",
      "[Globals]\n\rK=7\nK\r=8\n",      "",
  };
  files.insert(files.end(), keyFiles.begin(), keyFiles.end());
  const std::vector<std::string> keys = {"Key", "K", "k", "UrlMaxLen", "X  Y", "X Y", "", "  Key ",
                                         "\rK", "Missing"};
  TempDir dir;
  std::string path = dir.File("values.ini");
  for (const std::string& file : files) {
    SCOPED_TRACE(testing::PrintToString(file));
    WriteTextFile(path, file);
    std::vector<char> lines(file.size() + 2, '\x55');
    ProfileGetSection("Globals", lines.data(), uint32_t(lines.size()), path.c_str());
    for (const std::string& key : keys) {
      SCOPED_TRACE("key " + testing::PrintToString(key));
      const char* value = nullptr;
      uint32_t length = 0;
      bool found = ProfileFindValue(lines.data(), uint32_t(lines.size()), key.c_str(), &value,
                                    &length) != 0;
      EXPECT_EQ(found ? ProfileParseInt(value, length, -7) : uint32_t(-7),
                ProfileGetInt("Globals", key.c_str(), -7, path.c_str()));
      for (uint32_t size : {255u, 3u, 1u}) {
        std::string text(size, '\x55'), copied(size, '\x55');
        uint32_t n = ProfileGetString("Globals", key.c_str(), "(none)", text.data(), size,
                                      path.c_str());
        uint32_t m = found ? ProfileCopyString(value, length, copied.data(), size)
                           : ProfileGetString("Globals", "no such key", "(none)", copied.data(),
                                              size, path.c_str());
        ASSERT_EQ(n, m) << "size " << size;
        EXPECT_EQ(text.substr(0, n + 1), copied.substr(0, m + 1)) << "size " << size;
      }
    }
  }
}

TEST(ProfileInt, FileIsReadAfreshOnEveryCall) {
  TempDir dir;
  std::string path = dir.File("fresh.ini");
  WriteTextFile(path, "[G]\nK=1\n");
  EXPECT_EQ(1u, ProfileGetInt("G", "K", 0, path.c_str()));
  WriteTextFile(path, "[G]\nK=2\n");
  EXPECT_EQ(2u, ProfileGetInt("G", "K", 0, path.c_str()));
}

TEST(ProfileString, ValueCutToTheBuffer) {
  struct Case {
    const char* name;
    std::string ini;
    const char* deflt;
    uint32_t size;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"fits", "[G]\nK=abcdef\n", "", 8, "abcdef"},
      {"fits exactly", "[G]\nK=abcdef\n", "", 7, "abcdef"},
      {"cut to size - 1", "[G]\nK=abcdef\n", "", 4, "abc"},
      {"size 1", "[G]\nK=abcdef\n", "", 1, ""},
      {"absent key gives the default", "[G]\n", "dflt", 6, "dflt"},
      {"the default is cut too", "[G]\n", "dflt", 3, "df"},
      {"a null default is empty", "[G]\n", nullptr, 3, ""},
      {"an empty value is not absent", "[G]\nK=\n", "dflt", 6, ""},
      {"quotes and ';' kept, blanks trimmed", "[G]\nK =  \"a b\" ; c  \r\n", "", 16,
       "\"a b\" ; c"},
      {"inner blanks cut with the value", "[G]\nK=ab   cd\n", "", 5, "ab  "},
      {"trailing blanks past the end taken back", "[G]\nK=ab" + std::string(50, ' ') + "\n", "",
       6, "ab"},
      {"first of duplicate keys", "[G]\nK=one\nK=two\n", "", 6, "one"},
      {"enclosing double quotes dropped", "[G]\nK = \"a b\" \n", "", 16, "a b"},
      {"enclosing single quotes dropped", "[G]\nK='x'\n", "", 16, "x"},
      {"first and last quote taken as a pair", "[G]\nK=\"a\" b \"c\"\n", "", 16, "a\" b \"c"},
      {"mixed quotes kept", "[G]\nK=\"a'\n", "", 16, "\"a'"},
      {"a lone quote kept", "[G]\nK=\"\n", "", 16, "\""},
      {"empty quotes", "[G]\nK=\"\"\n", "d", 16, ""},
      {"size 0 writes nothing", "[G]\nK=abcdef\n", "", 0, ""},
  };
  TempDir dir;
  std::string path = dir.File("text.ini");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteTextFile(path, c.ini);
    std::string buffer(c.size + 1, kUnwritten);
    uint32_t result = ProfileGetString("G", "K", c.deflt, buffer.data(), c.size, path.c_str());
    EXPECT_EQ(c.expected.size(), result);
    if (c.size > 0) {
      EXPECT_EQ(c.expected, buffer.c_str());
    }
    EXPECT_EQ(kUnwritten, buffer[c.size]) << "wrote past the buffer";
  }
}

TEST(ProfileString, LongValueAndTheLoadersTextLimit) {
  TempDir dir;
  std::string path = dir.File("long.ini");
  std::string value(1 << 20, 'x');
  value[7] = '\t';
  WriteTextFile(path, "[G]\nBig=" + value + "\nBanner=" + std::string(300, 'b') + "\n");
  std::string big(value.size() + 1, kUnwritten);
  EXPECT_EQ(value.size(),
            ProfileGetString("G", "Big", "", big.data(), uint32_t(big.size()), path.c_str()));
  EXPECT_EQ(value + '\0', big);
  char banner[255];
  EXPECT_EQ(254u, ProfileGetString("G", "Banner", "", banner, sizeof banner, path.c_str()));
  EXPECT_EQ(std::string(254, 'b'), banner);
}

// ---------------------------------------------------------------- files

TEST(PlatformErrors, ErrnoMapsToWindowsNumbers) {
  const std::vector<std::pair<int, uint32_t>> cases = {
      {ENOENT, 2},  {ENOTDIR, 3},       {EACCES, 5},  {EPERM, 5},   {EISDIR, 5},
      {ENOMEM, 8},  {EEXIST, 183},      {EMFILE, 4},  {ENFILE, 4},  {EROFS, 19},
      {ENOSPC, 112}, {ENAMETOOLONG, 206}, {EBADF, 6}, {EINVAL, 87}, {ELOOP, 1921},
      {EIO, 31},     {0, 31},
  };
  for (const auto& [err, expected] : cases) {
    SCOPED_TRACE(err);
    EXPECT_EQ(expected, WinErrorFromErrno(err));
  }
}

TEST(PlatformErrors, FailedOpensAndDirectoryCreation) {
  TempDir dir;
  WriteTextFile(dir.File("file"), "x");
  ASSERT_EQ(0, mkdir(dir.File("sub").c_str(), 0755));
  auto open = [](std::string path, uint32_t access, uint32_t disposition) {
    return [=] { return FileOpen(path.c_str(), access, kShareRead, disposition) != kInvalidFile; };
  };
  auto create = [](std::string path) { return [=] { return DirectoryCreate(path.c_str()) != 0; }; };
  struct Case {
    const char* name;
    std::function<bool()> call;  // true when the call succeeded
    uint32_t error;
  };
  const std::vector<Case> cases = {
      {"missing file", open(dir.File("missing"), kAccessRead, kOpenExisting), 2},
      {"missing directory", open(dir.File("nodir/f"), kAccessRead, kOpenExisting), 3},
      {"create in a missing directory", open(dir.File("nodir/f"), kAccessWrite, kOpenAlways), 3},
      {"below a file", open(dir.File("file/f"), kAccessRead, kOpenExisting), 3},
      {"directory opened for reading", open(dir.File("sub"), kAccessRead, kOpenExisting), 5},
      {"directory opened for writing", open(dir.File("sub"), kAccessWrite, kOpenAlways), 5},
      {"empty path", open("", kAccessRead, kOpenExisting), 3},
      {"unknown disposition", open(dir.File("file"), kAccessRead, 99), 87},
      {"directory exists", create(dir.File("sub")), 183},
      {"a file has the name", create(dir.File("file")), 183},
      {"directory with a missing parent", create(dir.File("nodir/sub")), 3},
      {"directory below a file", create(dir.File("file/sub")), 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastErrorValue(0);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(c.error, GetLastErrorValue());
  }
  struct stat st;
  EXPECT_NE(0, stat(dir.File("nodir").c_str(), &st)) << "a failed open created a directory";
}

// What is opened for reading is read to its end, so only a regular file is
// taken: a FIFO without a writer would block the open (and a reader), a
// device may never end. Symbolic links to a file are followed; a loop of
// them is its own error.
TEST(PlatformErrors, ReadOpensTakeRegularFilesOnly) {
  TempDir dir;
  WriteTextFile(dir.File("file"), "x");
  ASSERT_EQ(0, mkfifo(dir.File("fifo").c_str(), 0600));
  ASSERT_EQ(0, symlink("file", dir.File("link").c_str()));
  ASSERT_EQ(0, symlink("loop", dir.File("loop").c_str()));
  ASSERT_EQ(0, symlink("fifo", dir.File("link-to-fifo").c_str()));
  struct Case {
    std::string path;
    uint32_t error;  // 0: opens
  };
  const std::vector<Case> cases = {
      {dir.File("file"), 0},
      {dir.File("link"), 0},
      {dir.File("fifo"), 1920},
      {dir.File("link-to-fifo"), 1920},
      {"/dev/null", 1920},
      {dir.File("loop"), 1921},
      {dir.File("loop") + "/f", 1921},
  };
  alarm(60);  // a blocking open would hang the test: end it instead
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    SetLastErrorValue(0);
    FileHandle file = FileOpen(c.path.c_str(), kAccessRead, kShareNone, kOpenExisting);
    EXPECT_EQ(c.error, GetLastErrorValue());
    if (c.error != 0) {
      EXPECT_EQ(kInvalidFile, file);
      continue;
    }
    ASSERT_NE(kInvalidFile, file);
    EXPECT_EQ(0, fcntl(int(file), F_GETFL) & O_NONBLOCK) << "reads of the file must block";
    EXPECT_EQ(1u, FileGetSize(file));
    EXPECT_EQ(1, FileClose(file));
  }
  alarm(0);
}

TEST(PlatformErrors, InvalidHandleFailsEveryFileOperation) {
  uint32_t written = 5;
  char byte = 'x';
  struct Case {
    const char* name;
    std::function<bool()> failed;
  };
  const std::vector<Case> cases = {
      {"size", [] { return FileGetSize(kInvalidFile) == 0xFFFFFFFFu; }},
      {"seek", [] { return FileSeekEnd(kInvalidFile) == 0xFFFFFFFFu; }},
      {"write", [&] { return FileWrite(kInvalidFile, &byte, 1, &written) == 0 && written == 0; }},
      {"close", [] { return FileClose(kInvalidFile) == 0; }},
      {"close of a huge value", [] { return FileClose(FileHandle(1) << 40) == 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastErrorValue(0);
    EXPECT_TRUE(c.failed());
    EXPECT_EQ(6u, GetLastErrorValue());
  }
}

// The log's life: created 0644 when missing, kept (not truncated) when it
// exists, appended to after a seek to its end, and not inherited by
// programs the host starts.
TEST(PlatformFiles, OpenAlwaysAppendsAndSizes) {
  TempDir dir;
  std::string path = dir.File("Ravelgard.20240305.log");
  mode_t oldMask = umask(022);
  FileHandle file = FileOpen(path.c_str(), kAccessWrite, kShareRead, kOpenAlways);
  umask(oldMask);
  ASSERT_NE(kInvalidFile, file);
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 0777);
  EXPECT_NE(0, fcntl(int(file), F_GETFD) & FD_CLOEXEC);

  uint32_t written = 0;
  EXPECT_EQ(1, FileWrite(file, "first\r\n", 7, &written));
  EXPECT_EQ(7u, written);
  EXPECT_EQ(1, FileClose(file));

  file = FileOpen(path.c_str(), kAccessWrite, kShareRead, kOpenAlways);
  ASSERT_NE(kInvalidFile, file);
  SetLastErrorValue(99);
  EXPECT_EQ(7u, FileGetSize(file));
  EXPECT_EQ(0u, GetLastErrorValue());
  SetLastErrorValue(99);
  EXPECT_EQ(7u, FileSeekEnd(file));
  EXPECT_EQ(0u, GetLastErrorValue());
  EXPECT_EQ(1, FileWrite(file, "second\r\n", 8, &written));
  EXPECT_EQ(1, FileWrite(file, "", 0, &written));
  EXPECT_EQ(0u, written);
  EXPECT_EQ(15u, FileGetSize(file));
  EXPECT_EQ(1, FileClose(file));
  EXPECT_EQ("first\r\nsecond\r\n", test::ReadTextFile(path));

  file = FileOpen(path.c_str(), kAccessRead, kShareNone, kOpenExisting);
  ASSERT_NE(kInvalidFile, file);
  EXPECT_EQ(15u, FileGetSize(file));
  EXPECT_EQ(1, FileClose(file));
}

// Sizes and positions the 32-bit results cannot hold are failures with an
// error, never their low half; 0xFFFFFFFF itself is a size with error 0.
TEST(PlatformFiles, SizesBeyondFourGiB) {
  struct Case {
    uint64_t size;
    bool fails;
  };
  const std::vector<Case> cases = {
      {0, false},
      {0xFFFFFFFFull, false},
      {0x100000000ull, true},
      {0x140000010ull, true},  // would read as 16 if cut to 32 bits
  };
  TempDir dir;
  std::string path = dir.File("sparse");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    WriteTextFile(path, "");
    ASSERT_EQ(0, truncate(path.c_str(), off_t(c.size)));
    FileHandle file = FileOpen(path.c_str(), kAccessWrite, kShareRead, kOpenExisting);
    ASSERT_NE(kInvalidFile, file);
    SetLastErrorValue(99);
    uint32_t size = FileGetSize(file);
    EXPECT_EQ(c.fails ? 0xFFFFFFFFu : uint32_t(c.size), size);
    EXPECT_EQ(c.fails, GetLastErrorValue() != 0);
    SetLastErrorValue(99);
    uint32_t end = FileSeekEnd(file);
    EXPECT_EQ(c.fails ? 0xFFFFFFFFu : uint32_t(c.size), end);
    EXPECT_EQ(c.fails, GetLastErrorValue() != 0);
    if (c.fails) {
      EXPECT_EQ(0, lseek(int(file), 0, SEEK_CUR)) << "a failed seek moved the file";
    }
    EXPECT_EQ(1, FileClose(file));
  }
}

TEST(PlatformFiles, WriteFailuresReportTheBytesWritten) {
  // A full disk.
  FileHandle full = FileOpen("/dev/full", kAccessWrite, kShareRead | kShareWrite, kOpenExisting);
  if (full != kInvalidFile) {
    uint32_t written = 99;
    EXPECT_EQ(0, FileWrite(full, "abc", 3, &written));
    EXPECT_EQ(0u, written);
    EXPECT_EQ(112u, GetLastErrorValue());
    FileClose(full);
  }

  // A write cut short by the file size limit: the first part lands, the rest
  // fails, and the count says how much landed.
  TempDir dir;
  std::string path = dir.File("limited");
  FileHandle file = FileOpen(path.c_str(), kAccessWrite, kShareRead, kOpenAlways);
  ASSERT_NE(kInvalidFile, file);
  struct rlimit old;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  struct rlimit limited = old;
  limited.rlim_cur = 100;
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
  std::string data(250, 'd');
  uint32_t written = 0;
  int ok = FileWrite(file, data.data(), uint32_t(data.size()), &written);
  uint32_t error = GetLastErrorValue();
  setrlimit(RLIMIT_FSIZE, &old);
  sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_EQ(0, ok);
  EXPECT_EQ(100u, written);
  EXPECT_NE(0u, error);
  FileClose(file);
  EXPECT_EQ(std::string(100, 'd'), test::ReadTextFile(path));
}

TEST(PlatformFiles, DirectoryCreateAndPathConstants) {
  TempDir dir;
  std::string path = dir.File("logs");
  EXPECT_EQ(1, DirectoryCreate(path.c_str()));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ('/', kPathSeparator);
  EXPECT_EQ(1u, kPathRootLength);
}

// ---------------------------------------------------------------- time

struct TestClock {
  explicit TestClock(const LocalTime& time) { SetTestClock(&time); }
  ~TestClock() { SetTestClock(nullptr); }
};

TEST(PlatformTime, PicturesUnderTheTestClock) {
  const LocalTime march5 = {2024, 3, 2, 5, 4, 7, 9, 250};
  const LocalTime early = {987, 12, 0, 31, 23, 59, 0, 0};
  TestClock clock(march5);
  LocalTime now = {};
  GetLocalTimeNow(&now);
  EXPECT_EQ(0, std::memcmp(&now, &march5, sizeof now));

  struct Case {
    bool date;
    const LocalTime* time;  // null: the clock
    const char* picture;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {true, nullptr, "yyyy-MM-dd", "2024-03-05"},
      {true, nullptr, "yyyyMMdd", "20240305"},
      {false, nullptr, "HH:mm:ss", "04:07:09"},
      {true, &early, "yyyy-MM-dd", "0987-12-31"},
      {false, &early, "HH:mm:ss", "23:59:00"},
      {true, &march5, "dd.MM.yyyy!", "05.03.2024!"},
      {true, &march5, "yyyy HH:mm", "2024 HH:mm"},  // time fields belong to the time picture
      {false, &march5, "yyyy HH", "yyyy 04"},
      {true, &march5, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.picture);
    char out[32];
    int n = c.date ? FormatDate(c.time, c.picture, out, sizeof out)
                   : FormatTime(c.time, c.picture, out, sizeof out);
    EXPECT_STREQ(c.expected, out);
    EXPECT_EQ(int(std::strlen(c.expected)) + 1, n);
  }
}

TEST(PlatformTime, TooSmallBufferFailsWith122) {
  const LocalTime time = {2024, 3, 2, 5, 4, 7, 9, 0};
  struct Case {
    int size;
    int result;
  };
  const std::vector<Case> cases = {{9, 9}, {8, 0}, {1, 0}, {0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    char out[16];
    std::memset(out, kUnwritten, sizeof out);
    SetLastErrorValue(0);
    EXPECT_EQ(c.result, FormatDate(&time, "yyyyMMdd", out, c.size));
    if (c.result == 0) {
      EXPECT_EQ(122u, GetLastErrorValue());
      // Callers that print the buffer anyway print nothing.
      EXPECT_EQ(c.size > 0 ? '\0' : kUnwritten, out[0]);
    } else {
      EXPECT_STREQ("20240305", out);
    }
  }
}

// The real clock is local time, and its fields agree with each other: the
// zone is forced to five hours east of UTC so that a clock read in UTC, a
// month off by one or a wrong weekday all show.
TEST(PlatformTime, RealClockIsLocalTime) {
  const char* oldZone = std::getenv("TZ");
  std::string saved = oldZone != nullptr ? oldZone : "";
  setenv("TZ", "RGT-5", 1);
  tzset();
  time_t before = std::time(nullptr);
  LocalTime now = {};
  GetLocalTimeNow(&now);
  time_t after = std::time(nullptr);
  if (oldZone != nullptr)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();

  bool matched = false;
  for (time_t t = before; t <= after && !matched; ++t) {
    time_t shifted = t + 5 * 3600;
    struct tm expected;
    gmtime_r(&shifted, &expected);
    matched = now.year == expected.tm_year + 1900 && now.month == expected.tm_mon + 1 &&
              now.day == expected.tm_mday && now.dayOfWeek == expected.tm_wday &&
              now.hour == expected.tm_hour && now.minute == expected.tm_min &&
              now.second == expected.tm_sec;
  }
  EXPECT_TRUE(matched) << now.year << "-" << now.month << "-" << now.day << " (" << now.dayOfWeek
                       << ") " << now.hour << ":" << now.minute << ":" << now.second;
  EXPECT_LT(now.milliseconds, 1000);
}

// ---------------------------------------------------------------- text

TEST(PlatformText, FormatTextLikeWsprintf) {
  // Called through a plain pointer so that the compiler's printf checks
  // allow the conversions this formatter deliberately leaves alone.
  int (*format)(char*, uint32_t, const char*, ...) = FormatText;
  const char* none = nullptr;
  struct Case {
    const char* name;
    std::function<int(char*, uint32_t)> call;
    uint32_t size;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"%s and %d", [&](char* o, uint32_t s) { return format(o, s, "[%s] %d.", "GET", 42); }, 12,
       "[GET] 42."},
      {"negative", [&](char* o, uint32_t s) { return format(o, s, "%d", -42); }, 4, "-42"},
      {"INT32_MIN", [&](char* o, uint32_t s) { return format(o, s, "%d", INT32_MIN); }, 12,
       "-2147483648"},
      {"INT32_MAX", [&](char* o, uint32_t s) { return format(o, s, "%d", INT32_MAX); }, 11,
       "2147483647"},
      {"zero", [&](char* o, uint32_t s) { return format(o, s, "%d", 0); }, 2, "0"},
      {"%%", [&](char* o, uint32_t s) { return format(o, s, "100%%"); }, 5, "100%"},
      {"null %s", [&](char* o, uint32_t s) { return format(o, s, "<%s>", none); }, 9, "<(null)>"},
      {"cut in text", [&](char* o, uint32_t s) { return format(o, s, "%s!", "abcdef"); }, 4, "abc"},
      {"cut in a number", [&](char* o, uint32_t s) { return format(o, s, "%d", -12345); }, 4,
       "-12"},
      {"size 1", [&](char* o, uint32_t s) { return format(o, s, "abc"); }, 1, ""},
      {"other conversions copied, taking no argument",
       [&](char* o, uint32_t s) { return format(o, s, "%x%u%5d|%d", 7); }, 16, "%x%u%5d|7"},
      {"a lone '%' at the end", [&](char* o, uint32_t s) { return format(o, s, "50%"); }, 8,
       "50%"},
      {"high-bit bytes", [&](char* o, uint32_t s) { return format(o, s, "%s", "\xC0\xAF"); }, 4,
       "\xC0\xAF"},
      {"size 0 writes nothing", [&](char* o, uint32_t s) { return format(o, s, "abc"); }, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string buffer(c.size + 1, kUnwritten);
    EXPECT_EQ(int(c.expected.size()), c.call(buffer.data(), c.size));
    if (c.size > 0) {
      EXPECT_EQ(c.expected, buffer.c_str());
    }
    EXPECT_EQ(kUnwritten, buffer[c.size]) << "wrote past the buffer";
  }
}

TEST(PlatformText, LogLineOfTheFullBufferSize) {
  std::string request(3000, 'r');
  char line[1024];
  int n = FormatText(line, sizeof line, "%s %s %d\r\n", "2024-03-05 04:07:09 ", request.c_str(), 5);
  EXPECT_EQ(1023, n);
  EXPECT_EQ('\0', line[1023]);
  EXPECT_EQ(std::string("2024-03-05 04:07:09  ") + request.substr(0, 1002), line);
}

// ---------------------------------------------------------------- lock

// Like a critical section, the lock may be entered again by the thread that
// holds it. The attempt runs on a detached thread so that a lock that does
// not allow it fails the test instead of hanging it.
TEST(PlatformLockTest, ReenteredByItsOwner) {
  static PlatformLock lock;
  LockInit(&lock);
  auto runDetached = [](void (*body)()) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([done, body] {
      body();
      done->set_value();
    }).detach();
    return finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  };
  ASSERT_TRUE(runDetached([] {
    LockEnter(&lock);
    LockEnter(&lock);
    LockLeave(&lock);
    LockLeave(&lock);
  })) << "the owner could not enter the lock again";
  // Left as often as entered: another thread gets it.
  ASSERT_TRUE(runDetached([] {
    LockEnter(&lock);
    LockLeave(&lock);
  })) << "the lock was not free after its owner left it";
  LockDelete(&lock);
}

// ---------------------------------------------------------------- module

TEST(PlatformModule, PathOfTheExecutableAndItsCut) {
  char exe[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  char path[PATH_MAX];
  uint32_t n = GetModulePath(path, sizeof path);
  EXPECT_EQ(std::strlen(exe), n);
  EXPECT_STREQ(exe, path);

  char cut[6];
  std::memset(cut, kUnwritten, sizeof cut);
  SetLastErrorValue(0);
  EXPECT_EQ(4u, GetModulePath(cut, 5));
  EXPECT_EQ(std::string(exe, 4), std::string(cut, 4));
  EXPECT_EQ('\0', cut[4]);
  EXPECT_EQ(kUnwritten, cut[5]);
  EXPECT_EQ(122u, GetLastErrorValue());

  SetLastErrorValue(0);
  EXPECT_EQ(0u, GetModulePath(cut, 0));
  EXPECT_NE(0u, GetLastErrorValue());
}

// Inside the loadable module the path is the module's own, wherever it was
// copied to, not the host's: the filter finds its INI file beside itself.
TEST(PlatformModule, SharedObjectFindsItsOwnPath) {
  TempDir dir;
  std::string module = dir.File("Ravelgard.so");
  std::filesystem::copy_file(RG_MODULE_PATH, module);
  WriteTextFile(dir.File("Ravelgard.ini"), "[Globals]\nLogFilesDir=" + dir.File("logs") + "\n");

  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle) << dlerror();
  auto start = reinterpret_cast<BOOL (*)(HTTP_FILTER_VERSION*)>(dlsym(handle, "GetFilterVersion"));
  auto stop = reinterpret_cast<BOOL (*)(DWORD)>(dlsym(handle, "TerminateFilter"));
  auto lastError = reinterpret_cast<DWORD (*)()>(dlsym(handle, "GetLastError"));
  ASSERT_TRUE(start != nullptr && stop != nullptr && lastError != nullptr);
  HTTP_FILTER_VERSION version = {};
  BOOL started = start(&version);
  EXPECT_TRUE(started) << "the module did not find its INI file; error " << lastError();
  if (started) stop(0);
  dlclose(handle);
  EXPECT_TRUE(std::filesystem::exists(dir.File("logs")))
      << "the log directory named in the module's INI file was not created";
}

}  // namespace
}  // namespace rg
