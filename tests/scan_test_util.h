// Running requests through the scanner in tests: a context that frees its
// buffer, a policy that frees itself, and chunks copied into blocks of their
// exact size so that a read past a chunk's end shows under the sanitizers.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filter/context.h"
#include "platform/platform.h"
#include "policy/policy.h"
#include "scan/scan.h"
#include "scan_cases.h"

namespace rg::test {

struct PolicyHolder {
  FilterPolicy* policy;
  explicit PolicyHolder(PolicySetup setup = nullptr) : policy(NewScanPolicy()) {
    if (setup != nullptr) setup(policy);
  }
  explicit PolicyHolder(FilterPolicy* p) : policy(p) {}
  ~PolicyHolder() { FreePolicy(policy); }
  PolicyHolder(const PolicyHolder&) = delete;
  PolicyHolder& operator=(const PolicyHolder&) = delete;
};

struct ContextHolder {
  ScanContext context{};
  ContextHolder() = default;
  ~ContextHolder() { HeapFreeBlock(context.data); }
  ContextHolder(const ContextHolder&) = delete;
  ContextHolder& operator=(const ContextHolder&) = delete;
  ScanOutcome Outcome() const { return {context.state, context.reason, context.matchIndex}; }
};

inline void SendChunk(const FilterPolicy* policy, ScanContext* context, std::string_view chunk) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[chunk.size() == 0 ? 1 : chunk.size()]);
  std::memcpy(exact.get(), chunk.data(), chunk.size());
  ScanRawData(policy, context, exact.get(), static_cast<uint32_t>(chunk.size()));
}

// Sends the request in pieces of the given sizes (the last one takes the
// rest), stopping once the request is refused, as the filter does.
inline ScanOutcome ScanInPieces(const FilterPolicy* policy, std::string_view request,
                                const std::vector<uint32_t>& sizes, ScanContext* contextOut = nullptr) {
  ContextHolder holder;
  size_t at = 0;
  size_t piece = 0;
  do {
    size_t n = piece < sizes.size() ? sizes[piece] : request.size() - at;
    if (n > request.size() - at) n = request.size() - at;
    SendChunk(policy, &holder.context, request.substr(at, n));
    at += n;
    ++piece;
  } while (holder.context.state != kStateRejected && at < request.size());
  if (contextOut != nullptr) {
    *contextOut = holder.context;
    contextOut->data = nullptr;  // freed with the holder
  }
  return holder.Outcome();
}

inline ScanOutcome ScanWhole(const FilterPolicy* policy, std::string_view request) {
  return ScanInPieces(policy, request, {});
}

inline ScanOutcome ScanByteWise(const FilterPolicy* policy, std::string_view request) {
  return ScanInPieces(policy, request, std::vector<uint32_t>(request.size(), 1));
}

}  // namespace rg::test
