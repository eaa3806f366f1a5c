// The filter's face towards the server: the ISAPI entry points, the verdict
// on a refused request and the block response.
#pragma once

#include <cstdint>

#include "filter/context.h"
#include "filter/isapi.h"
#include "policy/policy.h"

namespace rg {

// The policy of the loaded filter; null before GetFilterVersion succeeds.
extern FilterPolicy* g_policy;

// Starts the filter from a given INI file (hosts that link the core
// directly). Same contract as GetFilterVersion; logDirectory, when given,
// overrides the log directory of the INI file.
BOOL StartFilter(HTTP_FILTER_VERSION* version, const char* iniPath,
                 const char* logDirectory = nullptr);

// Hosts that link the core may watch every verdict: called by IssueVerdict
// after the record is logged and before the context is freed (context may be
// null), with the verdict's result. Null when nobody watches.
using VerdictObserver = void (*)(HTTP_FILTER_CONTEXT* pfc, const ScanContext* context,
                                 uint32_t reason, uint32_t matchIndex, uint32_t winError,
                                 DWORD result);
extern VerdictObserver g_verdictObserver;

// Fetches a server variable into a new heap text (freed with
// HeapFreeBlock). Returns 0, or an error number and a null text.
uint32_t FetchServerVariable(HTTP_FILTER_CONTEXT* pfc, const char* name, char** out);
// Releases the connection's ScanContext, if any, and clears pFilterContext.
void FreeScanContext(HTTP_FILTER_CONTEXT* pfc);

// Logs the rejection, frees the context, then blocks (writes the block
// response, returns SF_STATUS_REQ_FINISHED) or lets the request pass.
DWORD IssueVerdict(HTTP_FILTER_CONTEXT* pfc, uint32_t reason, uint32_t matchIndex,
                   uint32_t winError);
// Builds the 400 page, with a Server: line when serverText is given.
uint32_t BuildBlockResponse(FilterPolicy* policy, const char* serverText);
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
