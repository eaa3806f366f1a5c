#include "proxy/refusal_log.h"

#include "proxy/worker.h"

namespace rg::proxy {

const char* ProxyRefusalMessage(ProxyRefusal refusal) {
  switch (refusal) {
    case ProxyRefusal::kHeadInDispute:
      return " [Ambiguous framing: the header block ends elsewhere for the filter] ";
    case ProxyRefusal::kUpgradeNotAllowed:
      return " [Upgrade refused: only WebSocket may leave HTTP] ";
    case ProxyRefusal::kConnect:
      return " [CONNECT refused] ";
    case ProxyRefusal::kCount:
      break;
  }
  return " [Refused] ";
}

void LogRefusal(EnginePolicy* policy, const Screening* state, const char* message) {
  // Until the engine can write a record with a message of the host's own,
  // the refusal goes to standard error.
  (void)policy;
  (void)state;
  LogError("refused a request:%s", message);
}

}  // namespace rg::proxy
