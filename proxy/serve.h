// `ravelgard serve`: the screening reverse proxy.
#pragma once

namespace rg::proxy {

// Runs the proxy with the arguments after the command name (argv[0] is
// "serve") until SIGTERM or SIGINT. Returns the exit status: 0 after a stop,
// 2 on bad usage, an unloadable policy or an address that cannot be bound.
int RunServe(int argc, char** argv);

}  // namespace rg::proxy
