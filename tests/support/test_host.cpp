#include "support/test_host.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>

#include "filter/filter.h"
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

std::string FilterIni(std::string_view extraGlobals) {
  std::string ini =
      "[Globals]\n"
      "VerbAllow=1\n"
      "ValidHttpVersion=0\n"
      "ValidHostPort=0\n"
      "ExtensionAllow=0\n"
      "DenyHeaderName=0\n"
      "ValidMaxLenByHeader=0\n"
      "DenyUrlSequence=0\n"
      "DenyQuerySequence=0\n"
      "AllowHighBitInPayload=1\n";
  ini += extraGlobals;
  ini += "[VerbAllow]\nGET\nPOST\n";
  return ini;
}

std::string ExpectedBlockResponse(const char* serverText) {
  std::string page = "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\nContent-Length: 87\r\n";
  if (serverText != nullptr) page += std::string("Server: ") + serverText + "\r\n";
  page += "\r\n<html><head><title>Error</title></head><body>The parameter is incorrect. </body></html>";
  return page;
}

std::vector<std::string> LogFiles(const std::string& directory) {
  std::vector<std::string> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    std::string name = it->path().filename().string();
    if (it->is_regular_file() && name.rfind("Ravelgard.", 0) == 0 && name.size() > 4 &&
        name.compare(name.size() - 4, 4, ".log") == 0)
      files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string ReadLogs(const FilterHost& host) {
  std::string all;
  for (const std::string& file : LogFiles(host.dir.path)) all += ReadTextFile(file);
  return all;
}

bool ParseRecord(std::string_view line, LogRecord* out) {
  // "yyyy-MM-dd HH:mm:ss " then the client, " [reason] ", "[error] ", "[request]".
  static const char kPicture[] = "dddd-dd-dd dd:dd:dd ";
  if (line.size() < sizeof(kPicture) - 1) return false;
  for (size_t i = 0; i + 1 < sizeof(kPicture); ++i) {
    bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
    if (kPicture[i] == 'd' ? !digit : line[i] != kPicture[i]) return false;
  }
  LogRecord record;
  record.time = std::string(line.substr(0, 19));
  std::string_view rest = line.substr(20);
  size_t space = rest.find(' ');
  if (space == std::string_view::npos || space == 0) return false;
  record.client = std::string(rest.substr(0, space));
  rest = rest.substr(space);
  if (rest.substr(0, 2) != " [") return false;
  size_t errorField = rest.find("] [Win error ");
  size_t noError = rest.find("] [-] [");
  size_t end = std::min(errorField, noError);
  if (end == std::string_view::npos) return false;
  record.reason = std::string(rest.substr(2, end - 2));
  rest = rest.substr(end + 3);  // at the error text
  size_t close = rest.find("] [");
  if (close == std::string_view::npos) return false;
  record.error = std::string(rest.substr(0, close));
  if (record.error != "-") {
    std::string_view number = std::string_view(record.error).substr(10);
    if (number.empty() || number.find_first_not_of("-0123456789") != std::string_view::npos)
      return false;
  }
  rest = rest.substr(close + 3);
  if (rest.empty() || rest.back() != ']') return false;
  record.request = std::string(rest.substr(0, rest.size() - 1));
  *out = record;
  return true;
}

std::vector<std::string> RecordLines(std::string_view log) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find("\r\n", start);
    if (end == std::string_view::npos) end = log.size();  // a last line without its CR LF
    std::string_view line = log.substr(start, end - start);
    if (line.empty() || line[0] != '#') lines.emplace_back(line);
    start = end + 2;
  }
  return lines;
}

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
