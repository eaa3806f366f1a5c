// JSON output for scripts: string escaping of arbitrary bytes.
#pragma once

#include <string>
#include <string_view>

namespace rg::tool {

// Appends text as a JSON string, quotes included. The text is bytes (a
// request, a file name, a policy entry), and each byte becomes the
// character of the same number: '"', '\\' and control bytes are escaped, and
// every byte from 0x80 up is written \u0080 to \u00ff. So the output is
// plain ASCII (no C1 control or other character a terminal or a parser
// might act on passes raw), and two different byte strings never give the
// same JSON string, as they would if well-formed UTF-8 were kept and stray
// bytes shown by number. A reader gets the bytes back by taking each
// character's number (encoding the string as Latin-1).
void AppendJsonString(std::string* out, std::string_view text);

}  // namespace rg::tool
