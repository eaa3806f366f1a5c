// Small services the subcommands share: reading input files, naming
// Windows error numbers, private temporary directories, and printing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rg::tool {

// Exit statuses of the command.
constexpr int kExitOk = 0;        // every request passed / no warning
constexpr int kExitFindings = 1;  // a request was blocked / --strict warnings
constexpr int kExitUsage = 2;     // bad arguments, unreadable input, bad policy

// Largest input file accepted: the filter counts a request's bytes in 32
// bits, and a capture this large is a mistake rather than a request.
constexpr uint64_t kMaxInputBytes = 1ull << 30;

// "error 2 (file not found)".
std::string DescribeError(uint32_t error);

// Reads a whole file ("-" is standard input) into out. Returns 0, or a
// Windows error number; a directory gives 5 with isDirectory set, a file
// over kMaxInputBytes gives 8 with tooLarge set. With regularOnly (a policy
// file, which the filter reads to its end more than once), a FIFO, socket
// or device is refused with 1920 and notRegular set, without waiting for a
// writer.
struct ReadProblem {
  bool isDirectory;
  bool tooLarge;
  bool notRegular;
};
uint32_t ReadInput(const std::string& path, std::string* out, ReadProblem* problem,
                   bool regularOnly = false);
// Why a policy file could not be read, for "cannot load policy from F: ...".
std::string DescribePolicyReadError(uint32_t error, const ReadProblem& problem);

// Creates a fresh private directory under $TMPDIR (or /tmp). Returns 0 and
// its path, or an error number.
uint32_t MakePrivateDirectory(std::string* path);
// Removes a directory and everything in it; errors are ignored, since it
// only ever holds files this process made.
void RemoveTree(const std::string& path);

// Writes "ravelgard: " + message + "\n" to standard error.
void PrintError(std::string_view message);
// Appends text for a terminal, so that a hostile request or policy entry
// cannot drive it: printable ASCII and well-formed UTF-8 as they are; as
// \xNN every control byte (below 0x20, and 0x7F; a tab is kept with
// keepTabs), each byte of a C1 control character (U+0080 to U+009F, which
// terminals may take as ESC [ and its kind), and every byte that is not
// part of a well-formed UTF-8 sequence (a lone 0x9B is a CSI to a terminal
// reading Latin-1).
void AppendPrintable(std::string* out, std::string_view text, bool keepTabs = false);
// The same, returned.
std::string Printable(std::string_view text, bool keepTabs = false);

}  // namespace rg::tool
