// Where the Windows platform layer finds the module it is linked into: the
// filter reads the INI file beside that module, so a wrong answer loads the
// wrong policy or none. Linked into a test program, the module is the
// program itself; tests/windows/run.sh starts the DLL from directories of
// its own for the case of a DLL loaded by a host elsewhere.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"

namespace rg {
namespace {

constexpr char kUnwritten = '\x7f';  // fills buffers to show what was not written

std::string ProgramPath() {
  char path[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, n);
}

TEST(ModulePath, IsTheProgramsWhenLinkedIntoIt) {
  std::string program = ProgramPath();
  ASSERT_FALSE(program.empty());
  char path[MAX_PATH + 1];
  SetLastErrorValue(0);
  EXPECT_EQ(program.size(), GetModulePath(path, sizeof path));
  EXPECT_EQ(program, path);
  EXPECT_EQ(0u, GetLastErrorValue());
}

// Cut to the buffer with its NUL and error 122, never written past; no
// buffer at all is refused.
TEST(ModulePath, CutToTheBuffer) {
  std::string program = ProgramPath();
  ASSERT_GT(program.size(), 4u);
  char cut[6];
  std::memset(cut, kUnwritten, sizeof cut);
  SetLastErrorValue(0);
  EXPECT_EQ(4u, GetModulePath(cut, 5));
  EXPECT_EQ(program.substr(0, 4), std::string(cut, 4));
  EXPECT_EQ('\0', cut[4]);
  EXPECT_EQ(kUnwritten, cut[5]);
  EXPECT_EQ(122u, GetLastErrorValue());

  SetLastErrorValue(0);
  EXPECT_EQ(0u, GetModulePath(cut, 0));
  EXPECT_EQ(122u, GetLastErrorValue());
}

}  // namespace
}  // namespace rg
