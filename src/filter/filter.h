// The fixed 400 page written to a refused client.
#pragma once

#include <cstdint>

#include "policy/policy.h"

namespace rg {

// Builds the 400 page into a new heap block and hangs it on the policy, with
// a "Server:" line holding serverText (inserted as it is) when serverText is
// not null. The policy's BlockResponse must still be null. Returns 0, or the
// allocation's error number with BlockResponse left null.
uint32_t BuildBlockResponse(FilterPolicy* policy, const char* serverText);

}  // namespace rg
