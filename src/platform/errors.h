// Windows error numbers. The filter reports these on every platform: the log's
// "[Win error %d]" field and the hosts read them.
#pragma once

#include <cstdint>

namespace rg {

constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorWriteProtect = 19;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorFilenameTooLong = 206;
// ERROR_CANT_ACCESS_FILE: a path that names a FIFO, a socket or a device
// where a regular file is read or a log file written; opening it could
// block, reading it might never end.
constexpr uint32_t kErrorCantAccessFile = 1920;
// ERROR_CANT_RESOLVE_FILENAME: the path runs into a loop of symbolic links
// (or too many of them), or a log file's name is a symbolic link, which is
// never followed.
constexpr uint32_t kErrorCantResolveFilename = 1921;

// Maps a POSIX errno value onto the nearest Windows error number; never 0.
uint32_t WinErrorFromErrno(int err);

}  // namespace rg
