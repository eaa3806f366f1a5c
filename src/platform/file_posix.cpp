// Files, directories and error numbers on POSIX.
//
// Windows share modes are honoured between processes with advisory locks
// (flock) on the open file description, taken without waiting:
// - share mode 0, and an open for writing that does not share writing, take
//   an exclusive lock: while one is held, every other locked open fails;
// - every other open takes a shared lock, which only an exclusive one
//   conflicts with.
// A conflict fails the open with 32 (sharing violation), so a second filter
// writing the same day's log, or loading while another process holds the
// INI file, fails as it would on Windows. Programs that take no lock (tail,
// an editor) are not affected. Handles are opened close-on-exec so that a
// child process started by the host never inherits a lock.
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace rg {

const char kPathSeparator = '/';
const uint32_t kPathRootLength = 1;

namespace {

// Windows ERROR_FILE_TOO_LARGE: the size does not fit the 32 bits callers get.
constexpr uint32_t kErrorFileTooLarge = 223;
constexpr uint32_t kNoPosition = 0xFFFFFFFFu;

void Fail(uint32_t error) { SetLastErrorValue(error); }

void FailErrno(int err) { Fail(WinErrorFromErrno(err)); }

// The descriptor of a handle, or -1 for a value that cannot be one.
int DescriptorOf(FileHandle file) {
  if (file < 0 || file > INT_MAX) return -1;
  return int(file);
}

// Whether the directory that would hold `path` exists, to tell a missing
// file (2) from a missing directory on the way to it (3).
bool ParentDirectoryExists(const char* path) {
  size_t length = std::strlen(path);
  while (length > 1 && path[length - 1] == '/') --length;
  size_t slash = length;
  while (slash > 0 && path[slash - 1] != '/') --slash;
  if (slash <= 1) return true;  // the working directory, or "/"
  size_t parentLength = slash - 1;
  char parent[PATH_MAX];
  if (parentLength >= sizeof parent) return true;
  std::memcpy(parent, path, parentLength);
  parent[parentLength] = '\0';
  struct stat st;
  return stat(parent, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

uint32_t WinErrorFromErrno(int err) {
  switch (err) {
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EEXIST:
      return kErrorAlreadyExists;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EROFS:
      return kErrorWriteProtect;
    case ENOSPC:
      return kErrorDiskFull;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case EBADF:
      return kErrorInvalidHandle;
    case EINVAL:
      return kErrorInvalidParameter;
    case ELOOP:
      return kErrorCantResolveFilename;
    default:
      return kErrorGenFailure;
  }
}

FileHandle FileOpen(const char* path, uint32_t access, uint32_t share, uint32_t disposition) {
  if (path == nullptr || path[0] == '\0') {
    Fail(kErrorPathNotFound);
    return kInvalidFile;
  }
  int flags = O_CLOEXEC | O_NOCTTY;
  const bool readOnly = (access & kAccessWrite) == 0;
  if (!readOnly)
    flags |= (access & kAccessRead) != 0 ? O_RDWR : O_WRONLY;
  else
    flags |= O_RDONLY | O_NONBLOCK;  // a FIFO in a file's place must not hold up the open
  if (disposition == kOpenAlways) {
    flags |= O_CREAT;
  } else if (disposition != kOpenExisting) {
    Fail(kErrorInvalidParameter);
    return kInvalidFile;
  }

  int fd;
  do {
    fd = open(path, flags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT && !ParentDirectoryExists(path))
      Fail(kErrorPathNotFound);
    else
      FailErrno(err);
    return kInvalidFile;
  }

  // A directory opens for reading on POSIX; Windows refuses it.
  struct stat st;
  int statError = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (statError != 0) {
    close(fd);
    FailErrno(statError);
    return kInvalidFile;
  }
  if (readOnly) {
    // What is opened for reading is read to its end: a FIFO, a socket or a
    // device would block the reader or never end, so only a regular file
    // is taken. Reads of the regular file then block as usual.
    if (!S_ISREG(st.st_mode)) {
      close(fd);
      Fail(kErrorCantAccessFile);
      return kInvalidFile;
    }
    int fileFlags = fcntl(fd, F_GETFL);
    if (fileFlags < 0 || fcntl(fd, F_SETFL, fileFlags & ~O_NONBLOCK) != 0) {
      int err = errno;
      close(fd);
      FailErrno(err);
      return kInvalidFile;
    }
  }

  bool exclusive =
      share == kShareNone || ((access & kAccessWrite) != 0 && (share & kShareWrite) == 0);
  int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  while (flock(fd, operation) != 0) {
    int err = errno;
    if (err == EINTR) continue;
    close(fd);
    if (err == EWOULDBLOCK)
      Fail(kErrorSharingViolation);
    else
      FailErrno(err);  // no lock means no sharing guarantee: refuse the open
    return kInvalidFile;
  }
  return fd;
}

uint32_t FileGetSize(FileHandle file) {
  struct stat st;
  int fd = DescriptorOf(file);
  if (fd < 0) {
    Fail(kErrorInvalidHandle);
    return kNoPosition;
  }
  if (fstat(fd, &st) != 0) {
    FailErrno(errno);
    return kNoPosition;
  }
  // A size the 32-bit result cannot hold is an error, not its low half: the
  // INI reader sizes its buffers from it.
  if (uint64_t(st.st_size) > 0xFFFFFFFFull) {
    Fail(kErrorFileTooLarge);
    return kNoPosition;
  }
  SetLastErrorValue(kErrorSuccess);  // 0xFFFFFFFF itself is a size then
  return uint32_t(st.st_size);
}

uint32_t FileSeekEnd(FileHandle file) {
  int fd = DescriptorOf(file);
  if (fd < 0) {
    Fail(kErrorInvalidHandle);
    return kNoPosition;
  }
  off_t here = lseek(fd, 0, SEEK_CUR);
  if (here < 0) {
    FailErrno(errno);
    return kNoPosition;
  }
  off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) {
    FailErrno(errno);
    return kNoPosition;
  }
  if (uint64_t(end) > 0xFFFFFFFFull) {
    // The position cannot be reported in 32 bits; leave it where it was.
    lseek(fd, here, SEEK_SET);
    Fail(kErrorInvalidParameter);
    return kNoPosition;
  }
  SetLastErrorValue(kErrorSuccess);
  return uint32_t(end);
}

int FileWrite(FileHandle file, const void* data, uint32_t count, uint32_t* written) {
  if (written != nullptr) *written = 0;
  int fd = DescriptorOf(file);
  if (fd < 0) {
    Fail(kErrorInvalidHandle);
    return 0;
  }
  if (data == nullptr && count > 0) {
    Fail(kErrorInvalidParameter);
    return 0;
  }
  const char* bytes = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = write(fd, bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // write() returns 0 only where no progress can be made; stop rather
      // than spin.
      if (n < 0)
        FailErrno(errno);
      else
        Fail(kErrorGenFailure);
      if (written != nullptr) *written = done;
      return 0;
    }
    done += uint32_t(n);
  }
  if (written != nullptr) *written = done;
  return 1;
}

int FileClose(FileHandle file) {
  int fd = DescriptorOf(file);
  if (fd < 0) {
    Fail(kErrorInvalidHandle);
    return 0;
  }
  // On Linux the descriptor is gone even when close reports EINTR, so it is
  // never retried (a retry could close a descriptor another thread just got).
  if (close(fd) != 0 && errno != EINTR) {
    FailErrno(errno);
    return 0;
  }
  return 1;
}

FileHandle FileOpenAppend(const char* path, uint32_t share) {
  if (path == nullptr || path[0] == '\0') {
    Fail(kErrorPathNotFound);
    return kInvalidFile;
  }
  // O_NONBLOCK: opening a FIFO for writing would otherwise wait for a
  // reader, inside the log lock. It is cleared again once the file is known
  // to be regular.
  int flags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int fd;
  do {
    fd = open(path, flags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int err = errno;
    if (err == ELOOP)
      Fail(kErrorCantResolveFilename);
    else if (err == ENXIO)  // a FIFO without a reader
      Fail(kErrorCantAccessFile);
    else if (err == ENOENT && !ParentDirectoryExists(path))
      Fail(kErrorPathNotFound);
    else
      FailErrno(err);
    return kInvalidFile;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    FailErrno(err);
    return kInvalidFile;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    Fail(S_ISDIR(st.st_mode) ? kErrorAccessDenied : kErrorCantAccessFile);
    return kInvalidFile;
  }
  fcntl(fd, F_SETFL, flags & ~(O_NONBLOCK | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));

  bool exclusive = (share & kShareWrite) == 0;
  int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  while (flock(fd, operation) != 0) {
    int err = errno;
    if (err == EINTR) continue;
    close(fd);
    Fail(err == EWOULDBLOCK ? kErrorSharingViolation : WinErrorFromErrno(err));
    return kInvalidFile;
  }
  return fd;
}

int FileIsAtPath(FileHandle file, const char* path) {
  int fd = DescriptorOf(file);
  struct stat open;
  struct stat named;
  if (fd < 0 || path == nullptr || fstat(fd, &open) != 0) return 0;
  if (lstat(path, &named) != 0) return 0;
  return open.st_dev == named.st_dev && open.st_ino == named.st_ino && open.st_nlink > 0;
}

int DirectoryOpenToOthers(const char* path) {
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0) return 0;
  return (st.st_mode & S_IWOTH) != 0 ? 1 : 0;
}

int DirectoryCreate(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    Fail(kErrorPathNotFound);
    return 0;
  }
  if (mkdir(path, 0755) == 0) return 1;
  int err = errno;
  if (err == ENOENT || err == ENOTDIR)
    Fail(kErrorPathNotFound);
  else
    FailErrno(err);
  return 0;
}

}  // namespace rg
