// ravelgard: screens recorded HTTP requests with a Ravelgard policy, through
// the same filter code the module runs, and checks policy files.
#include <cstdio>
#include <string>
#include <string_view>

#include "proxy/serve.h"
#include "ravelgard/commands.h"
#include "ravelgard/util.h"

namespace {

const char kUsage[] =
    "Usage: ravelgard COMMAND [OPTION]...\n"
    "Screen recorded HTTP requests with a Ravelgard policy, and check policy files.\n"
    "\n"
    "Commands:\n"
    "  check    screen request files through the filter, as the module would\n"
    "  config   print the effective policy and warn about likely mistakes in it\n"
    "  serve    screen live traffic: a reverse proxy in front of an HTTP/1.1 server\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help (after a command: that command's help)\n"
    "  -V, --version  show the version\n"
    "\n"
    "Exit status:\n"
    "  0  check: every request passed; config: the policy loads, no warning\n"
    "  1  check: a request was blocked; config --strict: there were warnings\n"
    "  2  usage error, unreadable input, or a policy that cannot be loaded\n"
    "\n"
    "Run 'ravelgard COMMAND --help' for the options of a command.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace rg::tool;
  if (argc < 2) {
    PrintError("no command given; see 'ravelgard --help'");
    return kExitUsage;
  }
  std::string_view command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "-V" || command == "--version") {
    std::fputs("ravelgard " RG_TOOL_VERSION "\n", stdout);
    return kExitOk;
  }
  if (command == "check") return RunCheck(argc - 1, argv + 1);
  if (command == "config") return RunConfig(argc - 1, argv + 1);
  if (command == "serve") return rg::proxy::RunServe(argc - 1, argv + 1);
  if (!command.empty() && command[0] == '-')
    PrintError("unknown option '" + std::string(command) + "'; see 'ravelgard --help'");
  else
    PrintError("unknown command '" + std::string(command) + "'; see 'ravelgard --help'");
  return kExitUsage;
}
