// What the ISAPI filter does with a refused request, and the Server: header
// of responses.
#include <cstdint>

#include "isapi/filter.h"
#include "platform/platform.h"

namespace rg {

namespace {

// Sends the block response as it stands. The last-error value is cleared
// first so that a host reading it after the call sees only what the write
// itself reported. With no block response built yet the write carries no
// bytes; the request is ended all the same.
void WriteBlockResponse(HTTP_FILTER_CONTEXT* pfc, EnginePolicy* policy) {
  const char* page = nullptr;
  uint32_t length = 0;
  BlockPage(policy, &page, &length);
  DWORD count = length;
  SetLastErrorValue(0);
  pfc->WriteClient(pfc, const_cast<char*>(page), &count, 0);
}

char kServerHeaderName[] = "Server:";

}  // namespace

// Logs the rejection, frees the connection's state and blocks or passes.
// Platform failures (reason 34, or any system error) block even in Simulate
// mode: a request the filter could not examine must not get through.
// Returns SF_STATUS_REQ_FINISHED after writing the block response, else
// SF_STATUS_REQ_NEXT_NOTIFICATION.
DWORD IssueVerdict(HTTP_FILTER_CONTEXT* pfc, const Verdict& verdict) {
  EnginePolicy* policy = g_policy;
  const Screening* state = static_cast<const Screening*>(pfc->pFilterContext);
  LogVerdict(policy, state, verdict);

  bool block = Blocks(verdict);
  FreeScanContext(pfc);
  if (!block) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  WriteBlockResponse(pfc, policy);
  return SF_STATUS_REQ_FINISHED;
}

// The SF_NOTIFY_SEND_RESPONSE step after the connection's state update:
// removes (RemoveBanner) or replaces (ChangeBanner) the Server: header. When
// the server cannot change the header, the client gets the block response
// instead, so the real banner never leaks; this holds in Simulate mode too.
DWORD FilterServerHeader(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response) {
  EnginePolicy* policy = g_policy;
  const char* text = nullptr;
  if (ServerHeaderDecision(policy, &text) == ServerHeaderAction::kKeep)
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  // An empty value removes the header.
  if (response->SetHeader(pfc, kServerHeaderName, const_cast<char*>(text)))
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  WriteBlockResponse(pfc, policy);
  return SF_STATUS_REQ_FINISHED;
}

}  // namespace rg
