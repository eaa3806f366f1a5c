// The log record of a request refused for its framing, or by one of the
// proxy's own rules, rather than by the policy.
#pragma once

#include "engine/engine.h"
#include "frame/framer.h"
#include "proxy/metrics.h"

namespace rg::proxy {

// The bracketed message of a refusal of the proxy's own, with one space on
// each side, as the framer's messages are written.
const char* ProxyRefusalMessage(ProxyRefusal refusal);

// Writes the refusal to the policy's daily log: one record with the client
// address and request line of state (which may be null) and message (" [...] ").
void LogRefusal(EnginePolicy* policy, const Screening* state, const char* message);

}  // namespace rg::proxy
