// `ravelgard config`: loads a policy as the module would, prints the
// summary the log gets, and warns about likely mistakes in the file.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/engine.h"
#include "platform/platform.h"
#include "policy/policy.h"
#include "ravelgard/args.h"
#include "ravelgard/commands.h"
#include "ravelgard/lint.h"
#include "ravelgard/util.h"

namespace rg::tool {

namespace {

const char kConfigUsage[] =
    "Usage: ravelgard config -c FILE [OPTION]...\n"
    "Load the policy FILE as the module would, print the summary of the effective\n"
    "policy that the module writes into each new log file, and warn about settings\n"
    "that load without an error but do not do what they seem to.\n"
    "\n"
    "Options:\n"
    "  -c, --config FILE  the policy file (Ravelgard.ini); required\n"
    "  -q, --quiet        print the warnings only, not the summary\n"
    "      --strict       exit with status 1 when there is a warning\n"
    "  -h, --help         show this help\n"
    "\n"
    "The summary goes to standard output, with LF line ends where the log has CR LF;\n"
    "its log directory line names the directory the module would log to. Warnings go\n"
    "to standard error, one per line, as 'FILE:LINE: warning: TEXT'. They cover:\n"
    "unknown keys and sections (with the nearest known name), keys whose letter case\n"
    "differs (the length keys are matched with exact case), keys taken for a length\n"
    "key because they begin with its name, values that are not numbers, keys and\n"
    "sections given twice (only the first is read), list sections that the switches\n"
    "leave unread, list entries with an inline ';' comment or an invisible blank the\n"
    "reader keeps, extensions without their dot, repeated entries, and\n"
    "ValidMaxLenByHeader lines without '='.\n"
    "\n"
    "Exit status: 0 the policy loads (warnings or not), 1 with --strict when there\n"
    "is a warning, 2 usage error or a policy that cannot be loaded.\n";

struct SummaryPrinter {
  std::string out;
  std::string privateDirectory;     // where the tool let the filter log
  std::string configuredDirectory;  // where the module would log
};

// The log directory the module would use for this file, worked out as the
// loader does without a host override: LogFilesDir with one trailing
// separator removed, else the INI file's directory followed by "LogFiles".
std::string ConfiguredLogDirectory(const std::string& iniPath) {
  char block[256] = {};
  ProfileGetString("Globals", "LogFilesDir", "", block, 255, iniPath.c_str());
  std::string directory = block;
  if (!directory.empty()) {
    if (directory.back() == kPathSeparator) directory.pop_back();
    return directory;
  }
  size_t separator = iniPath.rfind(kPathSeparator);
  return (separator == std::string::npos ? std::string() : iniPath.substr(0, separator + 1)) +
         "LogFiles";
}

void CollectSummaryLine(void* user, const char* line, uint32_t length) {
  SummaryPrinter* p = static_cast<SummaryPrinter*>(user);
  std::string_view text(line, length);
  if (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") text.remove_suffix(2);
  // The filter logged into a private directory for this run; show the one
  // the module would really use.
  std::string_view logLine = "# Log files in ";
  if (text.substr(0, logLine.size()) == logLine &&
      text.substr(logLine.size()) == p->privateDirectory) {
    p->out.append(logLine);
    AppendPrintable(&p->out, p->configuredDirectory, true);
  } else {
    // Entries are shown as a terminal may safely show them; the tab after
    // "# " belongs to the line.
    AppendPrintable(&p->out, text, true);
  }
  p->out += '\n';
}

}  // namespace

int RunConfig(int argc, char** argv) {
  std::string iniPath, error;
  bool quiet = false, strict = false;
  for (int i = 1; i < argc && error.empty(); ++i) {
    std::string_view arg = argv[i];
    std::string value;
    if (IsFlag(arg, "--help", "-h")) {
      std::fputs(kConfigUsage, stdout);
      return kExitOk;
    }
    if (IsFlag(arg, "--quiet", "-q")) {
      quiet = true;
    } else if (IsFlag(arg, "--strict", "")) {
      strict = true;
    } else if (int m = MatchValueOption(argc, argv, &i, "--config", "-c", &value, &error); m > 0) {
      iniPath = value;
    } else if (m == 0) {
      if (!arg.empty() && arg[0] == '-')
        PrintError("unknown option '" + std::string(arg) + "' for config; see 'ravelgard config --help'");
      else
        PrintError("config takes no file operand '" + std::string(arg) +
                   "'; give the policy with -c FILE");
      return kExitUsage;
    }
  }
  if (!error.empty()) {
    PrintError(error + "; see 'ravelgard config --help'");
    return kExitUsage;
  }
  if (iniPath.empty()) {
    PrintError("config needs a policy file: -c FILE (see 'ravelgard config --help')");
    return kExitUsage;
  }

  std::string content;
  ReadProblem problem{};
  uint32_t readError = ReadInput(iniPath, &content, &problem, true);
  if (readError != 0) {
    PrintError("cannot load policy from " + iniPath + ": " +
               DescribePolicyReadError(readError, problem));
    return kExitUsage;
  }

  // Loading opens a log file with its header and summary; that one goes to a
  // private directory so that checking a policy leaves nothing behind.
  SummaryPrinter printer;
  uint32_t dirError = MakePrivateDirectory(&printer.privateDirectory);
  if (dirError != 0) {
    PrintError("cannot create a temporary directory for the log: " + DescribeError(dirError));
    return kExitUsage;
  }
  EngineOptions options;
  options.logDirectory = printer.privateDirectory.c_str();
  EnginePolicy* policy = nullptr;
  uint32_t loadError = LoadEnginePolicy(iniPath.c_str(), &options, &policy);
  if (loadError != 0) {
    RemoveTree(printer.privateDirectory);
    PrintError("cannot load policy from " + iniPath + ": " + DescribeError(loadError));
    return kExitUsage;
  }
  // The log file is open; its directory can go now (see check).
  RemoveTree(printer.privateDirectory);
  printer.configuredDirectory = ConfiguredLogDirectory(iniPath);
  if (!quiet) ForEachSummaryLine(PolicyRecord(policy), CollectSummaryLine, &printer);
  ReleaseEnginePolicy(policy);
  RemoveTree(printer.privateDirectory);
  std::fwrite(printer.out.data(), 1, printer.out.size(), stdout);
  std::fflush(stdout);

  std::vector<LintWarning> warnings = LintIni(content);
  std::string report;
  for (const LintWarning& w : warnings)
    report += iniPath + ":" + std::to_string(w.line) + ": warning: " + w.message + "\n";
  std::fwrite(report.data(), 1, report.size(), stderr);
  std::fflush(stderr);
  return (strict && !warnings.empty()) ? kExitFindings : kExitOk;
}

}  // namespace rg::tool
