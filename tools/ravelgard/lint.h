// Warnings about the policy-file mistakes that load without an error but
// do not do what their author meant.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rg::tool {

struct LintWarning {
  uint32_t line;        // 1-based line of the file the warning is about
  std::string message;  // one sentence, no line end
};

// Lints the text of an INI file. Warnings come sorted by line.
std::vector<LintWarning> LintIni(std::string_view content);

// Edit distance between two names, ASCII letter case ignored.
size_t EditDistance(std::string_view a, std::string_view b);

}  // namespace rg::tool
