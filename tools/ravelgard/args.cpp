#include "ravelgard/args.h"

#include <cstdint>

namespace rg::tool {

int MatchValueOption(int argc, char** argv, int* index, std::string_view longName,
                     std::string_view shortName, std::string* value, std::string* error) {
  std::string_view arg = argv[*index];
  bool separate = (arg == longName) || (!shortName.empty() && arg == shortName);
  if (separate) {
    if (*index + 1 >= argc) {
      *error = "option '" + std::string(arg) + "' needs a value";
      return -1;
    }
    *value = argv[++*index];
    return 1;
  }
  if (arg.size() > longName.size() + 1 && arg.substr(0, longName.size()) == longName &&
      arg[longName.size()] == '=') {
    *value = std::string(arg.substr(longName.size() + 1));
    return 1;
  }
  if (arg.size() == longName.size() + 1 && arg.substr(0, longName.size()) == longName &&
      arg.back() == '=') {
    *error = "option '" + std::string(longName) + "' needs a value";
    return -1;
  }
  if (!shortName.empty() && arg.size() > shortName.size() &&
      arg.substr(0, shortName.size()) == shortName) {
    *value = std::string(arg.substr(shortName.size()));
    return 1;
  }
  return 0;
}

bool IsFlag(std::string_view arg, std::string_view longName, std::string_view shortName) {
  return arg == longName || (!shortName.empty() && arg == shortName);
}

bool ParseUint32(std::string_view text, uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(n);
  return true;
}

}  // namespace rg::tool
