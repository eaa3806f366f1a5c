// An INI file read line by line the way the filter's profile reader reads
// it, keeping the line numbers that the reader forgets, for the lint.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rg::tool {

struct IniLine {
  uint32_t number;        // 1-based line number in the file
  std::string delivered;  // the text the reader hands over ("key=value" or the line)
  std::string key;        // before the first '=', blanks removed (empty without '=')
  std::string value;      // after the first '=', blanks removed
  bool hasEquals;
};

struct IniSection {
  std::string name;
  uint32_t number;       // line of the [name] header
  uint32_t firstNumber;  // header line of the first section of this name
  bool duplicate;        // a later section of a name seen before: never read
  std::vector<IniLine> lines;
};

struct IniText {
  std::vector<IniSection> sections;
  std::vector<uint32_t> orphanLines;  // lines before the first section
};

// Splits the file into sections and delivered lines: CR LF or LF line ends;
// spaces and tabs around lines, keys and values removed (and CRs at their
// ends); empty lines and
// lines starting with ';' skipped; a NUL ends a line's text; section names
// compared without ASCII case.
IniText ParseIniText(std::string_view content);

// ASCII case-insensitive equality.
bool SameNoCase(std::string_view a, std::string_view b);

}  // namespace rg::tool
