// The ISAPI filter: the three entry points a server calls, as a thin
// adapter over the screening engine. It alone owns the process-wide state
// the ISAPI model needs: the one policy of the loaded filter.
#pragma once

#include <cstdint>

#include "engine/engine.h"
#include "isapi/isapi.h"

namespace rg {

// The policy of the started filter; null before GetFilterVersion succeeds
// and after TerminateFilter.
extern EnginePolicy* g_policy;

// Starts the filter from a given INI file (a host that links the adapter
// directly: the command, the tests). Same contract as GetFilterVersion;
// logDirectory, when given, overrides the log directory of the INI file.
BOOL StartFilter(HTTP_FILTER_VERSION* version, const char* iniPath,
                 const char* logDirectory = nullptr);

// Fetches a server variable into a new heap text (freed with
// HeapFreeBlock). Returns 0, or an error number and a null text.
uint32_t FetchServerVariable(HTTP_FILTER_CONTEXT* pfc, const char* name, char** out);
// Releases the connection's screening state, if any, and clears
// pFilterContext.
void FreeScanContext(HTTP_FILTER_CONTEXT* pfc);

// Logs the rejection, frees the connection's state, then blocks (writes the
// block response, returns SF_STATUS_REQ_FINISHED) or lets the request pass.
DWORD IssueVerdict(HTTP_FILTER_CONTEXT* pfc, const Verdict& verdict);
// The SF_NOTIFY_SEND_RESPONSE step: removes or replaces the Server: header as
// the policy asks; when the server refuses the change, writes the block
// response and returns SF_STATUS_REQ_FINISHED.
DWORD FilterServerHeader(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response);

}  // namespace rg

// The exports a server calls.
extern "C" {
BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* pVer);
DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType,
                            LPVOID pvNotification);
BOOL WINAPI TerminateFilter(DWORD dwFlags);
}
