#include "ravelgard/util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "engine/engine.h"
#include "platform/errors.h"

namespace rg::tool {

std::string DescribeError(uint32_t error) {
  return "error " + std::to_string(error) + " (" + ErrorMeaning(error) + ")";
}

uint32_t ReadInput(const std::string& path, std::string* out, ReadProblem* problem,
                   bool regularOnly) {
  *problem = ReadProblem{false, false, false};
  out->clear();
  const bool isStdin = (path == "-");
  int fd = 0;
  if (!isStdin) {
    // Without a writer, opening a FIFO waits; O_NONBLOCK lets the type be
    // looked at first.
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | (regularOnly ? O_NONBLOCK : 0));
    if (fd < 0) return WinErrorFromErrno(errno);
  }
  uint32_t error = 0;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    problem->isDirectory = true;
    error = kErrorAccessDenied;
  } else if (regularOnly && !isStdin && !S_ISREG(st.st_mode)) {
    problem->notRegular = true;
    error = kErrorCantAccessFile;
  } else if (regularOnly && !isStdin) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) error = WinErrorFromErrno(errno);
  }
  char block[65536];
  while (error == 0) {
    ssize_t got = read(fd, block, sizeof block);
    if (got < 0) {
      if (errno == EINTR) continue;
      problem->isDirectory = (errno == EISDIR);
      error = WinErrorFromErrno(errno);
      break;
    }
    if (got == 0) break;
    if (out->size() + static_cast<size_t>(got) > kMaxInputBytes) {
      problem->tooLarge = true;
      error = kErrorNotEnoughMemory;
      break;
    }
    out->append(block, static_cast<size_t>(got));
  }
  if (!isStdin) close(fd);
  if (error != 0) out->clear();
  return error;
}

std::string DescribePolicyReadError(uint32_t error, const ReadProblem& problem) {
  if (problem.isDirectory) return "it is a directory";
  if (problem.notRegular)
    return "it is not a regular file (a FIFO, socket or device), which the filter does not read";
  return DescribeError(error);
}

uint32_t MakePrivateDirectory(std::string* path) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = (base != nullptr && base[0] != '\0') ? base : "/tmp";
  pattern += "/ravelgard.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return WinErrorFromErrno(errno);
  *path = pattern;
  return 0;
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

void PrintError(std::string_view message) {
  std::string line = "ravelgard: ";
  line.append(message);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

namespace {

// Length of the well-formed UTF-8 sequence at p (n bytes available), or 0
// when the bytes there do not form one. Overlong forms, surrogates and code
// points above U+10FFFF are not well-formed.
size_t Utf8SequenceLength(const unsigned char* p, size_t n) {
  unsigned char b = p[0];
  size_t len = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n < len) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return len;
}

void AppendHex(std::string* out, unsigned char c) {
  static const char kHex[] = "0123456789abcdef";
  out->append("\\x");
  *out += kHex[c >> 4];
  *out += kHex[c & 15];
}

}  // namespace

void AppendPrintable(std::string* out, std::string_view text, bool keepTabs) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      if ((c < 0x20 && !(keepTabs && c == '\t')) || c == 0x7F)
        AppendHex(out, c);
      else
        *out += static_cast<char>(c);
      ++i;
      continue;
    }
    size_t len = Utf8SequenceLength(p + i, n - i);
    bool c1 = len == 2 && c == 0xC2 && p[i + 1] < 0xA0;
    if (len == 0 || c1) {
      len = len == 0 ? 1 : len;
      for (size_t k = 0; k < len; ++k) AppendHex(out, p[i + k]);
    } else {
      out->append(text.substr(i, len));
    }
    i += len;
  }
}

std::string Printable(std::string_view text, bool keepTabs) {
  std::string out;
  AppendPrintable(&out, text, keepTabs);
  return out;
}

}  // namespace rg::tool
