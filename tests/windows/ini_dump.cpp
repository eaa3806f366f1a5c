// ini-dump: answers profile queries on one INI file through the platform
// layer, one line per query, so that the POSIX reader and the Windows
// profile functions can be held against each other on the same files.
//
//   ini-dump FILE QUERY...
//   QUERY: file|PATH           (the following queries read PATH)
//          section|NAME|SIZE
//          int|SECTION|KEY|DEFAULT
//          string|SECTION|KEY|DEFAULT|SIZE
//          from-section-int|SECTION|KEY|DEFAULT
//          from-section-string|SECTION|KEY|DEFAULT|SIZE
//
// The from-section forms answer as int and string do, the way the policy
// loader reads values: the section once, then the key's value from its
// lines (ProfileFindValue, ProfileParseInt, ProfileCopyString).
//
// Each answer shows the result and the bytes written (NUL as \0, other
// control bytes as \xNN); a section shows its list up to the double NUL.
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    size_t bar = text.find('|', from);
    parts.push_back(text.substr(from, bar - from));
    if (bar == std::string::npos) return parts;
    from = bar + 1;
  }
}

std::string Show(const char* bytes, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == 0) {
      out += "\\0";
    } else if (c < 0x20 || c >= 0x7F || c == '\\') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += char(c);
    }
  }
  return out;
}

// The key's value from the lines of its section, as the loader finds it;
// false when no line has the key.
bool FromSection(const std::string& section, const std::string& key, const std::string& path,
                 std::string* lines, const char** value, uint32_t* length) {
  // Room for the longest line of the test files.
  lines->assign(1 << 18, '\0');
  uint32_t size = uint32_t(lines->size());
  rg::ProfileGetSection(section.c_str(), lines->data(), size, path.c_str());
  return rg::ProfileFindValue(lines->data(), size, key.c_str(), value, length) != 0;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  _setmode(_fileno(stdout), _O_BINARY);  // the same bytes as on POSIX
#endif
  if (argc < 3) {
    std::fputs("usage: ini-dump FILE QUERY...\n", stderr);
    return 2;
  }
  std::string path = argv[1];
  std::string out;
  for (int i = 2; i < argc; ++i) {
    std::vector<std::string> q = Split(argv[i]);
    if (q[0] == "file" && q.size() == 2) {
      path = q[1];
      continue;
    }
    out += argv[i];
    out += " -> ";
    if (q[0] == "section" && q.size() == 3) {
      uint32_t size = uint32_t(std::strtoul(q[2].c_str(), nullptr, 10));
      std::string buffer(size, '\x7f');
      uint32_t n = rg::ProfileGetSection(q[1].c_str(), buffer.data(), size, path.c_str());
      size_t end = buffer.find(std::string("\0\0", 2));
      size_t shown = end == std::string::npos ? buffer.size() : end + 2;
      out += std::to_string(n) + " [" + Show(buffer.data(), shown) + "]";
    } else if (q[0] == "int" && q.size() == 4) {
      int32_t deflt = int32_t(std::strtol(q[3].c_str(), nullptr, 10));
      out += std::to_string(rg::ProfileGetInt(q[1].c_str(), q[2].c_str(), deflt, path.c_str()));
    } else if (q[0] == "string" && q.size() == 5) {
      uint32_t size = uint32_t(std::strtoul(q[4].c_str(), nullptr, 10));
      std::string buffer(size + 1, '\x7f');
      uint32_t n = rg::ProfileGetString(q[1].c_str(), q[2].c_str(), q[3].c_str(), buffer.data(),
                                        size, path.c_str());
      out += std::to_string(n) + " [" + Show(buffer.data(), n) + "]";
    } else if (q[0] == "from-section-int" && q.size() == 4) {
      int32_t deflt = int32_t(std::strtol(q[3].c_str(), nullptr, 10));
      std::string lines;
      const char* value = nullptr;
      uint32_t length = 0;
      uint32_t n = uint32_t(deflt);
      if (FromSection(q[1], q[2], path, &lines, &value, &length))
        n = rg::ProfileParseInt(value, length, deflt);
      out += std::to_string(n);
    } else if (q[0] == "from-section-string" && q.size() == 5) {
      uint32_t size = uint32_t(std::strtoul(q[4].c_str(), nullptr, 10));
      std::string buffer(size + 1, '\x7f');
      std::string lines;
      const char* value = q[3].c_str();  // the default, copied as it is when no line has the key
      uint32_t length = uint32_t(q[3].size());
      bool found = FromSection(q[1], q[2], path, &lines, &value, &length);
      uint32_t n = 0;
      if (found) {
        n = rg::ProfileCopyString(value, length, buffer.data(), size);
      } else if (size > 0) {
        n = length < size - 1 ? length : size - 1;
        buffer.replace(0, n, value, n);
        buffer[n] = '\0';
      }
      out += std::to_string(n) + " [" + Show(buffer.data(), n) + "]";
    } else {
      out += "bad query";
    }
    out += '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
