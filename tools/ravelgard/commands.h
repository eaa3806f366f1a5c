// The subcommands of `ravelgard`. Each takes the arguments after its name
// (argv[0] is the subcommand) and returns the process exit status.
#pragma once

namespace rg::tool {

// Screens request files through the filter.
int RunCheck(int argc, char** argv);
// Prints the effective policy and lints the INI file.
int RunConfig(int argc, char** argv);

}  // namespace rg::tool
