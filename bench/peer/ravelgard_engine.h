// Ravelgard driven two ways: the scanner alone on a fresh ScanContext per
// request (the cost of screening), and the whole filter through
// HttpFilterProc with a fake server (context set-up, client address,
// verdict, block response, log line).
#pragma once

#include <cstdint>
#include <string>

#include "filter/isapi.h"
#include "policy/policy.h"

namespace rg::peer {

struct RavelgardSide {
  std::string workDir;       // temporary: the fallback INI and the log files
  std::string iniPath;       // the policy the filter was started with
  std::string policySource;  // "examples/Ravelgard.ini" or "built in"
  const FilterPolicy* policy;
  bool started;
};

// Starts the filter from exampleIni when that file exists, else from the
// built-in policy written to a temporary INI; logs go to a temporary
// directory. Returns true, or false with *error.
bool RavelgardStart(RavelgardSide* side, const std::string& exampleIni, std::string* error);

// Scans one whole request on a fresh context. Returns the reason code (0:
// the request passes) and the entry index named by the message.
uint32_t RavelgardScan(const FilterPolicy* policy, const void* bytes, uint32_t length,
                       uint32_t* matchIndex);

// One request through the filter's entry points on a new connection: the raw
// chunk, then (unless it was refused) a 200 response and the end of the
// connection. Returns the raw-data notification's result; *blockBytes gets
// what the filter wrote to the client.
DWORD RavelgardFilter(const void* bytes, uint32_t length, uint32_t* blockBytes);

// Stops the filter and removes the temporary directory.
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
