// Ravelgard driven two ways: the scanner alone on a fresh ScanContext per
// request (the cost of screening), and the whole engine as a host drives it
// on a new connection (screening state, client address, verdict, log line,
// block page).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "kit/test_kit.h"
#include "policy/policy.h"

namespace rg::peer {

struct RavelgardSide {
  std::unique_ptr<test::TempDir> workDir;  // the fallback INI and the log files
  std::string iniPath;                     // the policy the engine was loaded from
  std::string policySource;                // "examples/Ravelgard.ini" or "built in"
  EnginePolicy* engine = nullptr;
  const FilterPolicy* policy = nullptr;  // the engine's record
};

// Loads the policy from exampleIni when that file exists, else from the
// built-in policy written to a temporary INI; logs go to a temporary
// directory. Returns true, or false with *error.
bool RavelgardStart(RavelgardSide* side, const std::string& exampleIni, std::string* error);

// Scans one whole request on a fresh context. Returns the reason code (0:
// the request passes) and the entry index named by the message.
uint32_t RavelgardScan(const FilterPolicy* policy, const void* bytes, uint32_t length,
                       uint32_t* matchIndex);

// One request through the engine on a new connection, as a host does: the
// state, the block page with the server's banner, the screening, then the
// log line and the block page for a refusal, or a 200 response; then the end
// of the connection. Returns true when the request is blocked; *blockBytes
// gets the length of the page the host would write.
bool RavelgardEngine(EnginePolicy* policy, const void* bytes, uint32_t length,
                     uint32_t* blockBytes);

// Releases the policy and removes the temporary directory.
void RavelgardStop(RavelgardSide* side);

// The Host header for the requests: the first host name the policy accepts
// (without a port where one is listed so), or "localhost" when the policy
// does not test hosts. Never a numeric address: the Core Rule Set scores a
// numeric Host as an attack by itself.
std::string HostFor(const FilterPolicy* policy);

// A header name the policy refuses, for the denied-header request: the first
// entry of the denied-name list that the peer's rules refuse too, else the
// first entry, else empty.
std::string DeniedHeaderFor(const FilterPolicy* policy);

}  // namespace rg::peer
