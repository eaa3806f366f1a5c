// Files and directories on Windows.
//
// The share modes, open dispositions and error numbers are the system's own:
// the platform's constants were chosen with the values of FILE_SHARE_READ,
// FILE_SHARE_WRITE, OPEN_EXISTING and OPEN_ALWAYS, so they pass through.
#include <windows.h>

#include "platform/platform.h"

namespace rg {

const char kPathSeparator = '\\';
const uint32_t kPathRootLength = 3;  // "C:\"

static_assert(kShareRead == FILE_SHARE_READ && kShareWrite == FILE_SHARE_WRITE);
static_assert(kOpenExisting == OPEN_EXISTING && kOpenAlways == OPEN_ALWAYS);

namespace {

// Windows ERROR_FILE_TOO_LARGE: the size does not fit the 32 bits callers get.
constexpr uint32_t kErrorFileTooLarge = 223;
constexpr uint32_t kNoPosition = 0xFFFFFFFFu;

void Fail(uint32_t error) { SetLastErrorValue(error); }

// The system's error of the call that just failed; never 0.
void FailLast() { SetLastErrorValue(LastErrorOr(kErrorGenFailure)); }

// The handle of a file, or null for kInvalidFile. INVALID_HANDLE_VALUE is
// also the pseudo-handle of the current process, which CloseHandle accepts:
// it must never reach the system as a file.
HANDLE HandleOf(FileHandle file) {
  if (file == kInvalidFile || file == 0) return nullptr;
  return reinterpret_cast<HANDLE>(file);
}

}  // namespace

uint32_t WinErrorFromErrno(int err) {
  // Only the C runtime's errno values reach here (none in this build's core);
  // the system's own calls report Windows numbers already.
  switch (err) {
    case 2:  // ENOENT
      return kErrorFileNotFound;
    case 12:  // ENOMEM
      return kErrorNotEnoughMemory;
    case 13:  // EACCES
      return kErrorAccessDenied;
    case 17:  // EEXIST
      return kErrorAlreadyExists;
    case 22:  // EINVAL
      return kErrorInvalidParameter;
    default:
      return kErrorGenFailure;
  }
}

FileHandle FileOpen(const char* path, uint32_t access, uint32_t share, uint32_t disposition) {
  if (path == nullptr || path[0] == '\0') {
    Fail(kErrorPathNotFound);
    return kInvalidFile;
  }
  if (disposition != kOpenExisting && disposition != kOpenAlways) {
    Fail(kErrorInvalidParameter);
    return kInvalidFile;
  }
  DWORD desired = 0;
  if ((access & kAccessRead) != 0) desired |= GENERIC_READ;
  if ((access & kAccessWrite) != 0) desired |= GENERIC_WRITE;
  // A directory fails with 5: without FILE_FLAG_BACKUP_SEMANTICS the system
  // opens files only.
  HANDLE handle = CreateFileA(path, desired, share & (FILE_SHARE_READ | FILE_SHARE_WRITE), nullptr,
                              disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    FailLast();
    return kInvalidFile;
  }
  // What is opened for reading is read to its end: a pipe or a device (CON,
  // a named pipe, a serial port) could block the reader or never end.
  if ((access & kAccessWrite) == 0 && GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    Fail(kErrorCantAccessFile);
    return kInvalidFile;
  }
  // OPEN_ALWAYS reports 183 on success when the file was there already; a
  // caller reading the last error after a success must not see it.
  SetLastErrorValue(kErrorSuccess);
  return reinterpret_cast<FileHandle>(handle);
}

uint32_t FileGetSize(FileHandle file) {
  HANDLE handle = HandleOf(file);
  if (handle == nullptr) {
    Fail(kErrorInvalidHandle);
    return kNoPosition;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle, &size)) {
    FailLast();
    return kNoPosition;
  }
  // A size the 32-bit result cannot hold is an error, not its low half: the
  // INI reader sizes its buffers from it.
  if (uint64_t(size.QuadPart) > 0xFFFFFFFFull) {
    Fail(kErrorFileTooLarge);
    return kNoPosition;
  }
  SetLastErrorValue(kErrorSuccess);  // 0xFFFFFFFF itself is a size then
  return uint32_t(size.QuadPart);
}

uint32_t FileSeekEnd(FileHandle file) {
  HANDLE handle = HandleOf(file);
  if (handle == nullptr) {
    Fail(kErrorInvalidHandle);
    return kNoPosition;
  }
  LARGE_INTEGER zero{};
  LARGE_INTEGER here;
  if (!SetFilePointerEx(handle, zero, &here, FILE_CURRENT)) {
    FailLast();
    return kNoPosition;
  }
  LARGE_INTEGER end;
  if (!SetFilePointerEx(handle, zero, &end, FILE_END)) {
    FailLast();
    return kNoPosition;
  }
  if (uint64_t(end.QuadPart) > 0xFFFFFFFFull) {
    // The position cannot be reported in 32 bits; leave it where it was.
    SetFilePointerEx(handle, here, nullptr, FILE_BEGIN);
    Fail(kErrorInvalidParameter);
    return kNoPosition;
  }
  SetLastErrorValue(kErrorSuccess);
  return uint32_t(end.QuadPart);
}

int FileWrite(FileHandle file, const void* data, uint32_t count, uint32_t* written) {
  if (written != nullptr) *written = 0;
  HANDLE handle = HandleOf(file);
  if (handle == nullptr) {
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
    DWORD n = 0;
    BOOL ok = WriteFile(handle, bytes + done, count - done, &n, nullptr);
    if (!ok || n == 0) {
      // A write that makes no progress would spin: stop with an error.
      if (ok) Fail(kErrorGenFailure);
      else FailLast();
      if (written != nullptr) *written = done;
      return 0;
    }
    done += n;
  }
  if (written != nullptr) *written = done;
  return 1;
}

int FileClose(FileHandle file) {
  HANDLE handle = HandleOf(file);
  if (handle == nullptr) {
    Fail(kErrorInvalidHandle);
    return 0;
  }
  if (!CloseHandle(handle)) {
    FailLast();
    return 0;
  }
  return 1;
}

// FILE_APPEND_DATA without FILE_WRITE_DATA: the system puts every write at
// the end of the file as it is then, so several writers never overwrite
// each other and no offset is kept. FILE_FLAG_OPEN_REPARSE_POINT opens a
// symbolic link (or junction) itself instead of its target, so that it can
// be refused rather than followed.
FileHandle FileOpenAppend(const char* path, uint32_t share) {
  if (path == nullptr || path[0] == '\0') {
    Fail(kErrorPathNotFound);
    return kInvalidFile;
  }
  HANDLE handle = CreateFileA(path, FILE_APPEND_DATA | SYNCHRONIZE,
                              share & (FILE_SHARE_READ | FILE_SHARE_WRITE), nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    FailLast();
    return kInvalidFile;
  }
  BY_HANDLE_FILE_INFORMATION info;
  uint32_t refused = 0;
  if (GetFileType(handle) != FILE_TYPE_DISK)
    refused = kErrorCantAccessFile;
  else if (!GetFileInformationByHandle(handle, &info))
    refused = LastErrorOr(kErrorGenFailure);
  else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    refused = kErrorCantResolveFilename;
  else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    refused = kErrorAccessDenied;
  if (refused != 0) {
    CloseHandle(handle);
    Fail(refused);
    return kInvalidFile;
  }
  SetLastErrorValue(kErrorSuccess);
  return reinterpret_cast<FileHandle>(handle);
}

// The same file is the same volume and file index. The path is opened
// without any access right, so no share mode of the log's own handle stands
// in the way.
int FileIsAtPath(FileHandle file, const char* path) {
  HANDLE handle = HandleOf(file);
  if (handle == nullptr || path == nullptr) return 0;
  BY_HANDLE_FILE_INFORMATION open;
  if (!GetFileInformationByHandle(handle, &open)) return 0;
  // A file whose name was removed while open is only marked for deletion;
  // its index no longer answers to the name once it is gone.
  HANDLE named = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (named == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION there;
  BOOL ok = GetFileInformationByHandle(named, &there);
  CloseHandle(named);
  return ok && open.dwVolumeSerialNumber == there.dwVolumeSerialNumber &&
                 open.nFileIndexHigh == there.nFileIndexHigh &&
                 open.nFileIndexLow == there.nFileIndexLow
             ? 1
             : 0;
}

// Who may create files in a directory is told by its access control list on
// Windows, not by one "others" bit; the default lists of the places logs go
// (an Inetpub folder, a folder beside the DLL) grant it to administrators
// and the system only. The warning is not given here.
int DirectoryOpenToOthers(const char* /*path*/) { return 0; }

int DirectoryCreate(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    Fail(kErrorPathNotFound);
    return 0;
  }
  if (CreateDirectoryA(path, nullptr)) return 1;
  FailLast();
  return 0;
}

}  // namespace rg
