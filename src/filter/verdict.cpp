// What happens to a refused request, and the Server: header of responses.
#include <cstdint>

#include "filter/filter.h"
#include "log/log.h"
#include "platform/platform.h"

namespace rg {

namespace {

// Sends the block response as it stands. The last-error value is cleared
// first so that a host reading it after the call sees only what the write
// itself reported. With no block response built yet the write carries no
// bytes; the request is ended all the same.
//
// The page and its length are read under LogLock: a connection whose first
// chunk failed before it reached the lazy build has never synchronized with
// the connection building the page right now, and could otherwise see the
// new length with the old null pointer.
void WriteBlockResponse(HTTP_FILTER_CONTEXT* pfc, FilterPolicy* policy) {
  LockEnter(&LogLock);
  char* page = policy->BlockResponse;
  DWORD count = page != nullptr ? policy->BlockResponseLength : 0;
  LockLeave(&LogLock);
  SetLastErrorValue(0);
  pfc->WriteClient(pfc, page, &count, 0);
}

char kServerHeaderName[] = "Server:";
char kEmptyValue[] = "";

}  // namespace

// Logs the rejection, frees the connection's context and blocks or passes.
// Platform failures (reason 34, or any system error) block even in Simulate
// mode: a request the filter could not examine must not get through.
// Returns SF_STATUS_REQ_FINISHED after writing the block response, else
// SF_STATUS_REQ_NEXT_NOTIFICATION.
DWORD IssueVerdict(HTTP_FILTER_CONTEXT* pfc, uint32_t reason, uint32_t matchIndex,
                   uint32_t winError) {
  FilterPolicy* policy = g_policy;
  const ScanContext* context = static_cast<const ScanContext*>(pfc->pFilterContext);
  WriteRejection(policy, context, reason, matchIndex, winError);

  bool block = winError != 0 || reason == 34 || (policy->Simulate == 0 && reason != 0);
  DWORD result = block ? SF_STATUS_REQ_FINISHED : SF_STATUS_REQ_NEXT_NOTIFICATION;
  VerdictObserver observer = g_verdictObserver;
  if (observer != nullptr) observer(pfc, context, reason, matchIndex, winError, result);

  FreeScanContext(pfc);
  if (block) WriteBlockResponse(pfc, policy);
  return result;
}

// The SF_NOTIFY_SEND_RESPONSE step after the connection's state update:
// removes (RemoveBanner) or replaces (ChangeBanner) the Server: header. When
// the server cannot change the header, the client gets the block response
// instead, so the real banner never leaks; this holds in Simulate mode too.
DWORD FilterServerHeader(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response) {
  FilterPolicy* policy = g_policy;
  char* banner = policy->Banner != nullptr ? policy->Banner : kEmptyValue;
  if (policy->RemoveBanner == 0 && banner[0] == '\0') return SF_STATUS_REQ_NEXT_NOTIFICATION;
  // With RemoveBanner the loader leaves the banner empty; an empty value
  // removes the header.
  if (response->SetHeader(pfc, kServerHeaderName, banner)) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  WriteBlockResponse(pfc, policy);
  return SF_STATUS_REQ_FINISHED;
}

}  // namespace rg
