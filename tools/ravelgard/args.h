// Command-line option matching shared by the subcommands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rg::tool {

// Matches argv[*index] against an option that takes a value, written as
// "--name VALUE", "--name=VALUE", "-s VALUE" or "-sVALUE" (shortName may be
// empty). Returns 1 and the value (advancing *index past a separate value),
// 0 when the argument is another option, or -1 with an error sentence when
// the value is missing.
int MatchValueOption(int argc, char** argv, int* index, std::string_view longName,
                     std::string_view shortName, std::string* value, std::string* error);

// 1 when arg is the flag by its long or (non-empty) short name.
bool IsFlag(std::string_view arg, std::string_view longName, std::string_view shortName);

// Parses a decimal unsigned number that fits 32 bits; false otherwise.
bool ParseUint32(std::string_view text, uint32_t* out);

}  // namespace rg::tool
