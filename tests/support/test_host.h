// A small web-server stand-in that drives the filter through its exports,
// the way a server does: per-connection filter contexts, GetServerVariable
// with its size probe, WriteClient and the response's SetHeader.
//
// It binds either to a private copy of Ravelgard.so (dlopen, so the test sees
// the module exactly as a server would, with its own globals) or to the
// adapter and core linked into the test program (so the test can reach the
// allocation hook, the test clock and the adapter's functions).
//
// This is the one fake ISAPI server of the project: only the adapter's own
// tests use it. Everything else screens through the engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "isapi/isapi.h"
#include "kit/log_lines.h"
#include "kit/test_kit.h"

namespace rg::test {

// The entry points as the host sees them.
struct FilterExports {
  BOOL (*GetFilterVersion)(HTTP_FILTER_VERSION*);
  DWORD (*HttpFilterProc)(HTTP_FILTER_CONTEXT*, DWORD, LPVOID);
  BOOL (*TerminateFilter)(DWORD);
  DWORD (*GetLastError)();
  void (*SetLastError)(DWORD);
};

struct FilterHost {
  TempDir dir;                  // the module copy, the INI and the logs live here
  std::string iniPath;
  void* module = nullptr;       // dlopen handle; null when bound to the linked core
  FilterExports api{};
  bool started = false;
  HTTP_FILTER_VERSION version{};
  std::string serverSoftware = "Microsoft-IIS/10.0";  // SERVER_SOFTWARE and the server's banner
  std::atomic<int> serverSoftwareReads{0};            // successful value reads
  FilterHost() = default;
  ~FilterHost();  // stops a started filter and unloads the module
  FilterHost(const FilterHost&) = delete;
  FilterHost& operator=(const FilterHost&) = delete;
};

// Copies the built module into host->dir under moduleName, writes ini (when
// not null) beside it under iniName, loads the copy and resolves the five
// exports. Returns an empty text, or what went wrong.
std::string BindModule(FilterHost* host, const char* ini,
                       std::string_view moduleName = "Ravelgard.so",
                       std::string_view iniName = "Ravelgard.ini");
// Writes ini as host->dir/Ravelgard.ini and binds to the linked core.
void BindLinkedCore(FilterHost* host, std::string_view ini);
// Starts the filter: GetFilterVersion for a module, StartFilter (logs under
// host->dir/logs) for the linked core. *error receives the last-error value
// when given.
BOOL StartHost(FilterHost* host, uint32_t* error = nullptr);
void StopHost(FilterHost* host);

// One client connection. Must stay where it is while open: the filter
// context points back at it.
struct HostConnection {
  HTTP_FILTER_CONTEXT pfc{};
  FilterHost* host = nullptr;
  std::string remoteAddr = "10.0.0.5";
  // GetServerVariable of failVariable answers FALSE with failError (0: no
  // error number at all), at the size probe or at the read.
  std::string failVariable;
  uint32_t failError = 0;
  bool failAtRead = false;
  bool probeAnswersTrue = false;  // the size probe answers TRUE instead of FALSE/122
  int remoteAddrReads = 0;  // successful value reads of REMOTE_ADDR
  // What the client received.
  std::string written;
  int writes = 0;
  uint32_t lastErrorAtWrite = 0xFFFFFFFF;
  // The current response's Server: header as it would leave.
  bool hasServerHeader = false;
  std::string serverHeader;
  int setHeaderCalls = 0;
  BOOL setHeaderResult = TRUE;
  HostConnection() = default;
  ~HostConnection();  // ends the connection, as a server always does, if the filter holds a context
  HostConnection(const HostConnection&) = delete;
  HostConnection& operator=(const HostConnection&) = delete;
};

void OpenConnection(FilterHost* host, HostConnection* connection,
                    std::string_view remoteAddr = "10.0.0.5");
// SF_NOTIFY_READ_RAW_DATA with the bytes as one chunk.
DWORD SendChunk(HostConnection* connection, std::string_view bytes);
// SF_NOTIFY_SEND_RESPONSE for a response carrying the server's own banner.
DWORD SendResponse(HostConnection* connection, DWORD status);
// SF_NOTIFY_END_OF_NET_SESSION.
DWORD EndConnection(HostConnection* connection);
// Any notification, for types the filter did not ask for.
DWORD Notify(HostConnection* connection, DWORD type, void* record);

// Every log file under host->dir, concatenated in name order.
std::string ReadLogs(const FilterHost& host);
// The rejection records of every log under host->dir, parsed; a line that is
// not a whole record fails the calling test.
std::vector<LogRecord> Records(const FilterHost& host);

}  // namespace rg::test
