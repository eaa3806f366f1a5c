#include "support/test_host.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <filesystem>

#include "isapi/filter.h"
#include "platform/platform.h"

namespace rg::test {

namespace {

namespace fs = std::filesystem;

DWORD LinkedGetLastError() { return GetLastErrorValue(); }
void LinkedSetLastError(DWORD error) { SetLastErrorValue(error); }

HostConnection* ConnectionOf(HTTP_FILTER_CONTEXT* pfc) {
  return static_cast<HostConnection*>(pfc->ServerContext);
}

// Answers as a server does: a call without a buffer, or with one that is too
// small, gets FALSE, ERROR_INSUFFICIENT_BUFFER and the size with the NUL.
BOOL WINAPI HostGetServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                  DWORD* size) {
  HostConnection* connection = ConnectionOf(pfc);
  FilterHost* host = connection->host;
  std::string_view variable(name);
  bool read = buffer != nullptr;
  if (variable == connection->failVariable && read == connection->failAtRead) {
    host->api.SetLastError(connection->failError);
    return FALSE;
  }
  std::string value;
  if (variable == "REMOTE_ADDR") {
    value = connection->remoteAddr;
  } else if (variable == "SERVER_SOFTWARE") {
    value = host->serverSoftware;
  } else {
    host->api.SetLastError(1413);  // ERROR_INVALID_INDEX: no such variable
    return FALSE;
  }
  DWORD needed = static_cast<DWORD>(value.size() + 1);
  if (!read && connection->probeAnswersTrue) {
    *size = needed;
    return TRUE;
  }
  if (!read || *size < needed) {
    *size = needed;
    host->api.SetLastError(kErrorInsufficientBuffer);
    return FALSE;
  }
  std::memcpy(buffer, value.c_str(), needed);
  *size = needed;
  if (variable == "SERVER_SOFTWARE") host->serverSoftwareReads.fetch_add(1);
  if (variable == "REMOTE_ADDR") ++connection->remoteAddrReads;
  return TRUE;
}

BOOL WINAPI HostWriteClient(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, DWORD* bytes, DWORD) {
  HostConnection* connection = ConnectionOf(pfc);
  connection->lastErrorAtWrite = connection->host->api.GetLastError();
  ++connection->writes;
  if (buffer != nullptr && *bytes != 0) connection->written.append(static_cast<char*>(buffer), *bytes);
  return TRUE;
}

BOOL WINAPI HostSetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  HostConnection* connection = ConnectionOf(pfc);
  ++connection->setHeaderCalls;
  if (!connection->setHeaderResult) {
    connection->host->api.SetLastError(kErrorInvalidParameter);
    return FALSE;
  }
  if (std::string_view(name) == "Server:") {
    connection->hasServerHeader = value[0] != '\0';
    connection->serverHeader = connection->hasServerHeader ? value : "";
  }
  return TRUE;
}

BOOL WINAPI HostGetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, DWORD* size) {
  HostConnection* connection = ConnectionOf(pfc);
  if (std::string_view(name) != "Server:" || !connection->hasServerHeader) {
    connection->host->api.SetLastError(1413);
    return FALSE;
  }
  DWORD needed = static_cast<DWORD>(connection->serverHeader.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    connection->host->api.SetLastError(kErrorInsufficientBuffer);
    return FALSE;
  }
  std::memcpy(buffer, connection->serverHeader.c_str(), needed);
  *size = needed;
  return TRUE;
}

BOOL WINAPI HostAddHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  return HostSetHeader(pfc, name, value);
}

}  // namespace

FilterHost::~FilterHost() {
  StopHost(this);
  if (module != nullptr) dlclose(module);
}

std::string BindModule(FilterHost* host, const char* ini, std::string_view moduleName,
                       std::string_view iniName) {
  std::string copy = host->dir.File(moduleName);
  std::error_code error;
  fs::create_directories(fs::path(copy).parent_path(), error);
  if (!fs::copy_file(RG_MODULE_PATH, copy, fs::copy_options::overwrite_existing, error))
    return "cannot copy the module: " + error.message();
  host->iniPath = host->dir.File(iniName);
  if (ini != nullptr) WriteTextFile(host->iniPath, ini);
  host->module = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (host->module == nullptr) return std::string("dlopen: ") + dlerror();
  struct Symbol {
    const char* name;
    void** slot;
  };
  const Symbol symbols[] = {
      {"GetFilterVersion", reinterpret_cast<void**>(&host->api.GetFilterVersion)},
      {"HttpFilterProc", reinterpret_cast<void**>(&host->api.HttpFilterProc)},
      {"TerminateFilter", reinterpret_cast<void**>(&host->api.TerminateFilter)},
      {"GetLastError", reinterpret_cast<void**>(&host->api.GetLastError)},
      {"SetLastError", reinterpret_cast<void**>(&host->api.SetLastError)},
  };
  for (const Symbol& symbol : symbols) {
    *symbol.slot = dlsym(host->module, symbol.name);
    if (*symbol.slot == nullptr) return std::string("missing export ") + symbol.name;
  }
  return "";
}

void BindLinkedCore(FilterHost* host, std::string_view ini) {
  host->iniPath = host->dir.File("Ravelgard.ini");
  WriteTextFile(host->iniPath, ini);
  host->api.GetFilterVersion = &::GetFilterVersion;
  host->api.HttpFilterProc = &::HttpFilterProc;
  host->api.TerminateFilter = &::TerminateFilter;
  host->api.GetLastError = &LinkedGetLastError;
  host->api.SetLastError = &LinkedSetLastError;
}

BOOL StartHost(FilterHost* host, uint32_t* error) {
  BOOL ok;
  if (host->module != nullptr) {
    ok = host->api.GetFilterVersion(&host->version);
  } else {
    std::string logs = host->dir.File("logs");
    ok = StartFilter(&host->version, host->iniPath.c_str(), logs.c_str());
  }
  if (error != nullptr) *error = host->api.GetLastError();
  host->started = ok != FALSE;
  return ok;
}

void StopHost(FilterHost* host) {
  if (!host->started) return;
  host->api.TerminateFilter(0);
  host->started = false;
}

HostConnection::~HostConnection() {
  if (pfc.pFilterContext != nullptr && host != nullptr && host->started) EndConnection(this);
}

void OpenConnection(FilterHost* host, HostConnection* connection, std::string_view remoteAddr) {
  connection->host = host;
  connection->remoteAddr = remoteAddr;
  connection->pfc = HTTP_FILTER_CONTEXT{};
  connection->pfc.cbSize = sizeof(HTTP_FILTER_CONTEXT);
  connection->pfc.Revision = HTTP_FILTER_REVISION;
  connection->pfc.ServerContext = connection;
  connection->pfc.GetServerVariable = &HostGetServerVariable;
  connection->pfc.WriteClient = &HostWriteClient;
}

DWORD SendChunk(HostConnection* connection, std::string_view bytes) {
  std::string copy(bytes);  // the filter must not rely on bytes beyond cbInData
  HTTP_FILTER_RAW_DATA raw{};
  raw.pvInData = copy.data();
  raw.cbInData = static_cast<DWORD>(copy.size());
  raw.cbInBuffer = raw.cbInData;
  return connection->host->api.HttpFilterProc(&connection->pfc, SF_NOTIFY_READ_RAW_DATA, &raw);
}

DWORD SendResponse(HostConnection* connection, DWORD status) {
  connection->hasServerHeader = true;
  connection->serverHeader = connection->host->serverSoftware;
  HTTP_FILTER_SEND_RESPONSE response{};
  response.GetHeader = &HostGetHeader;
  response.SetHeader = &HostSetHeader;
  response.AddHeader = &HostAddHeader;
  response.HttpStatus = status;
  return connection->host->api.HttpFilterProc(&connection->pfc, SF_NOTIFY_SEND_RESPONSE,
                                              &response);
}

DWORD EndConnection(HostConnection* connection) {
  return connection->host->api.HttpFilterProc(&connection->pfc, SF_NOTIFY_END_OF_NET_SESSION,
                                              nullptr);
}

DWORD Notify(HostConnection* connection, DWORD type, void* record) {
  return connection->host->api.HttpFilterProc(&connection->pfc, type, record);
}

std::string ReadLogs(const FilterHost& host) { return ReadLogs(host.dir.path); }

std::vector<LogRecord> Records(const FilterHost& host) {
  std::vector<LogRecord> records;
  for (const std::string& line : RecordLines(ReadLogs(host))) {
    LogRecord record;
    EXPECT_TRUE(ParseRecord(line, &record)) << "not a record line: " << line;
    records.push_back(record);
  }
  return records;
}

}  // namespace rg::test
