// Share modes between processes: a child opens a file through FileOpen and
// holds it while the test opens the same file, then closes it on request.
// Two filters loaded side by side must not write the same log, and a load
// must fail while another process holds the INI file without sharing it.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "kit/test_kit.h"

namespace rg {
namespace {

struct OpenMode {
  const char* name;
  uint32_t access;
  uint32_t share;
  uint32_t disposition;
};

// The loader's probe of the INI file and the log writer's open.
constexpr OpenMode kIniProbe = {"INI probe", kAccessRead, kShareNone, kOpenExisting};
constexpr OpenMode kLogWriter = {"log writer", kAccessWrite, kShareRead, kOpenAlways};
constexpr OpenMode kSharedReader = {"shared reader", kAccessRead, kShareRead, kOpenExisting};
constexpr OpenMode kSharedWriter = {"shared writer", kAccessRead | kAccessWrite,
                                    kShareRead | kShareWrite, kOpenAlways};

FileHandle Open(const std::string& path, const OpenMode& mode) {
  return FileOpen(path.c_str(), mode.access, mode.share, mode.disposition);
}

// A child process holding the file open. It reports 'H' (held) or 'F'
// (its open failed), closes the file when sent 'c' and reports 'C', and
// exits when sent 'x' or when the test goes away.
struct Holder {
  pid_t pid = -1;
  int command = -1;  // test -> child
  int report = -1;   // child -> test

  Holder(const std::string& path, const OpenMode& mode) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) return;
    pid = fork();
    if (pid == 0) {
      close(down[1]);
      close(up[0]);
      FileHandle file = Open(path, mode);
      char status = file == kInvalidFile ? 'F' : 'H';
      (void)!write(up[1], &status, 1);
      char c = 0;
      while (read(down[0], &c, 1) == 1 && c != 'x') {
        if (c == 'c') {
          status = FileClose(file) == 1 ? 'C' : 'E';
          (void)!write(up[1], &status, 1);
        }
      }
      _exit(0);
    }
    close(down[0]);
    close(up[1]);
    command = down[1];
    report = up[0];
  }

  ~Holder() {
    if (pid <= 0) return;
    Send('x');
    close(command);
    close(report);
    int status = 0;
    waitpid(pid, &status, 0);
  }

  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  void Send(char c) const { (void)!write(command, &c, 1); }
  char Receive() const {
    char c = '?';
    return read(report, &c, 1) == 1 ? c : '?';
  }
};

// Opens the file with the given mode; 0 when that succeeded (the handle is
// closed again at once), else the error number.
uint32_t TryOpen(const std::string& path, const OpenMode& mode) {
  FileHandle file = Open(path, mode);
  if (file == kInvalidFile) return GetLastErrorValue();
  FileClose(file);
  return 0;
}

TEST(PlatformShare, ConflictingOpensFailWith32WhileAnotherProcessHoldsTheFile) {
  struct Case {
    OpenMode holder;
    OpenMode contender;
    uint32_t whileHeld;  // 0: the open succeeds
  };
  const std::vector<Case> cases = {
      {kIniProbe, kIniProbe, 32},          // two filters loading at once
      {kLogWriter, kIniProbe, 32},         // the INI probe sees any holder
      {kSharedReader, kIniProbe, 32},
      {kLogWriter, kLogWriter, 32},        // a second log writer
      {kIniProbe, kLogWriter, 32},
      {kSharedReader, kLogWriter, 32},
      {kLogWriter, kSharedReader, 32},     // readers must share writing to join a writer
      {kSharedReader, kSharedReader, 0},
      {kSharedWriter, kSharedWriter, 0},
      {kSharedWriter, kLogWriter, 32},
  };
  test::TempDir dir;
  std::string path = dir.File("Ravelgard.ini");
  test::WriteTextFile(path, "[Globals]\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.contender.name) + " while a " + c.holder.name + " holds the file");
    Holder holder(path, c.holder);
    ASSERT_GT(holder.pid, 0);
    ASSERT_EQ('H', holder.Receive());

    SetLastErrorValue(0);
    EXPECT_EQ(c.whileHeld, TryOpen(path, c.contender));

    // The lock goes with the handle, not with the process.
    holder.Send('c');
    ASSERT_EQ('C', holder.Receive());
    EXPECT_EQ(0u, TryOpen(path, c.contender)) << "still refused after the holder closed";
  }
}

// Programs that take no lock, such as tail or a log viewer, read a log the
// filter is writing.
TEST(PlatformShare, PlainReadersAreNotAffected) {
  test::TempDir dir;
  std::string path = dir.File("Ravelgard.20240305.log");
  test::WriteTextFile(path, "#Software\r\n");
  Holder holder(path, kLogWriter);
  ASSERT_GT(holder.pid, 0);
  ASSERT_EQ('H', holder.Receive());
  EXPECT_EQ("#Software\r\n", test::ReadTextFile(path));
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  close(fd);
}

// The child inherits nothing: a child started after the open (the way a host
// starts a CGI program) must not keep the log locked after the filter
// closes it.
TEST(PlatformShare, LockIsNotInheritedAcrossExec) {
  test::TempDir dir;
  std::string path = dir.File("held.log");
  FileHandle file = Open(path, kLogWriter);
  ASSERT_NE(kInvalidFile, file);
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t child = fork();
  if (child == 0) {
    // The shell holds whatever descriptors survive the exec for two seconds;
    // its standard output tells the test that the exec has happened.
    close(ready[0]);
    dup2(ready[1], 1);
    execl("/bin/sh", "sh", "-c", "echo; exec sleep 2", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  char c;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  close(ready[0]);
  EXPECT_EQ(1, FileClose(file));
  EXPECT_EQ(0u, TryOpen(path, kLogWriter)) << "the exec'd child kept the lock";
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
}

// Within one process, too, each open is its own holder, as on Windows.
TEST(PlatformShare, SecondOpenInTheSameProcessConflicts) {
  test::TempDir dir;
  std::string path = dir.File("same.log");
  FileHandle first = Open(path, kLogWriter);
  ASSERT_NE(kInvalidFile, first);
  EXPECT_EQ(32u, TryOpen(path, kLogWriter));
  EXPECT_EQ(1, FileClose(first));
  EXPECT_EQ(0u, TryOpen(path, kLogWriter));
}

}  // namespace
}  // namespace rg
