#include "proxy/refusals.h"

namespace rg::proxy {

const char* ProxyRefusalMessage(ProxyRefusal refusal) {
  switch (refusal) {
    case ProxyRefusal::kBoundaryDisputed:
      return " [Ambiguous framing: the filter and the proxy end the request at different bytes] ";
    case ProxyRefusal::kUpgradeNotAllowed:
      return " [Upgrade refused: only WebSocket may leave HTTP] ";
    case ProxyRefusal::kConnect:
      return " [CONNECT refused] ";
    case ProxyRefusal::kCount:
      break;
  }
  return " [Refused by the proxy] ";
}

}  // namespace rg::proxy
