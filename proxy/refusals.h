// The log messages of the proxy's own refusals.
#pragma once

#include "proxy/metrics.h"

namespace rg::proxy {

// The bracketed message of a refusal of the proxy's own, with one space on
// each side, as the framer's messages are written (for LogFramingRefusal).
const char* ProxyRefusalMessage(ProxyRefusal refusal);

}  // namespace rg::proxy
