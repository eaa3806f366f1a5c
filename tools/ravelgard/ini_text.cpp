#include "ravelgard/ini_text.h"

#include <unordered_map>

namespace rg::tool {

namespace {

// The reader drops spaces and tabs at the start, and spaces, tabs and CRs
// (the CR of a CR LF line end among them) at the end.
bool IsLeadBlank(char c) { return c == ' ' || c == '\t'; }
bool IsTrailBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsLeadBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsTrailBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c; }

}  // namespace

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

IniText ParseIniText(std::string_view content) {
  IniText ini;
  // Where each section name (folded to lower case) first stands, so that a
  // repeated section is told in constant time however many there are.
  std::unordered_map<std::string, size_t> firstSection;
  IniSection* current = nullptr;
  uint32_t number = 0;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = content.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    size_t nul = line.find('\0');
    if (nul != std::string_view::npos) line = line.substr(0, nul);
    line = Trim(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      std::string_view name =
          Trim(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
      IniSection section{std::string(name), number, number, false, {}};
      std::string folded(name);
      for (char& ch : folded) ch = Lower(ch);
      auto [first, isNew] = firstSection.emplace(std::move(folded), ini.sections.size());
      if (!isNew) {
        section.duplicate = true;
        section.firstNumber = ini.sections[first->second].number;
      }
      ini.sections.push_back(std::move(section));
      current = &ini.sections.back();
      continue;
    }
    if (current == nullptr) {
      ini.orphanLines.push_back(number);
      continue;
    }
    IniLine l{number, std::string(line), {}, {}, false};
    size_t equals = line.find('=');
    if (equals != std::string_view::npos) {
      l.hasEquals = true;
      l.key = std::string(Trim(line.substr(0, equals)));
      l.value = std::string(Trim(line.substr(equals + 1)));
      l.delivered = l.key + "=" + l.value;
    }
    current->lines.push_back(std::move(l));
  }
  return ini;
}

}  // namespace rg::tool
