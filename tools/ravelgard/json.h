// JSON output for scripts: string escaping of arbitrary bytes.
#pragma once

#include <string>
#include <string_view>

namespace rg::tool {

// Appends text as a JSON string, quotes included. Well-formed UTF-8 is kept
// as it is; '"', '\\' and control bytes are escaped; every byte that is not
// part of a well-formed UTF-8 sequence (request bytes can be anything)
// becomes the character of the same number, \u0080 to \u00ff, so the output
// is always valid JSON and no byte is silently dropped.
void AppendJsonString(std::string* out, std::string_view text);

}  // namespace rg::tool
