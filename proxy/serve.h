// `ravelgard serve`: the screening reverse proxy.
#pragma once

#include <cstdint>
#include <string>

namespace rg::proxy {

// Runs the proxy with the arguments after the command name (argv[0] is
// "serve") until SIGTERM or SIGINT. describe turns a Windows error number
// into the command's wording ("error 2 (file not found)"). Returns the exit
// status: 0 after a stop, 2 on bad usage, an unloadable policy or an address
// that cannot be bound.
int RunServe(int argc, char** argv, std::string (*describe)(uint32_t error));

}  // namespace rg::proxy
