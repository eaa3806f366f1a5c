// Counters of the proxy, one set per event-loop thread so that counting
// never contends, summed when /metrics is read.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/framer.h"
#include "log/reason.h"

namespace rg::proxy {

// Refusals of the proxy itself, beside the framer's own reasons.
enum class ProxyRefusal : uint32_t {
  kBoundaryDisputed = 0,   // the engine and the proxy's framer end a request at different bytes
  kUpgradeNotAllowed = 1,  // an Upgrade other than WebSocket (h2c above all)
  kConnect = 2,            // CONNECT
  kCount = 3,
};

// Upper bounds, in seconds, of the screening-time histogram.
inline constexpr double kScreenBuckets[] = {1e-6,   2.5e-6, 5e-6,   1e-5, 2.5e-5, 5e-5, 1e-4,
                                            2.5e-4, 5e-4,   1e-3,   5e-3, 1e-2};
inline constexpr size_t kScreenBucketCount = sizeof(kScreenBuckets) / sizeof(kScreenBuckets[0]);

// A counter written by one thread only and read by any: relaxed loads and
// stores, no read-modify-write, so counting costs a plain add.
struct Counter {
  std::atomic<uint64_t> value{0};
  void Add(uint64_t n = 1) { value.store(value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed); }
  void Sub(uint64_t n = 1) { value.store(value.load(std::memory_order_relaxed) - n, std::memory_order_relaxed); }
  uint64_t Get() const { return value.load(std::memory_order_relaxed); }
};

struct WorkerMetrics {
  Counter connectionsOpen;
  Counter connectionsAccepted;
  Counter connectionsRefused;  // over --max-connections
  Counter requestsScreened;
  Counter requestsPassed;
  Counter blockedByReason[kReasonCount];
  Counter simulatedByReason[kReasonCount];
  Counter framingRefusals[static_cast<size_t>(FrameError::kCount)];
  Counter proxyRefusals[static_cast<size_t>(ProxyRefusal::kCount)];
  Counter upstreamErrors;    // unreachable, reset, malformed response
  Counter upstreamTimeouts;
  Counter clientTimeouts;    // header, idle and slow-client timeouts
  Counter bytesIn;           // from clients
  Counter bytesOut;          // to clients
  Counter tunnelsOpened;     // WebSocket tunnels after a 101
  Counter tunnelsOpen;
  Counter screenBuckets[kScreenBucketCount];  // cumulative counts are built when read
  Counter screenCount;
  Counter screenNanoseconds;

  // Screening time of one request.
  void ObserveScreening(uint64_t nanoseconds);
};

// Everything /metrics reports beyond the per-thread counters.
struct ProcessMetrics {
  std::atomic<uint64_t> reloadsOk{0};
  std::atomic<uint64_t> reloadsFailed{0};
};

// The Prometheus text exposition of the summed counters.
std::string RenderMetrics(const std::vector<const WorkerMetrics*>& workers,
                          const ProcessMetrics& process);

// The label of a framing refusal in the metrics ("content_length_repeated").
const char* FrameErrorLabel(FrameError error);
const char* ProxyRefusalLabel(ProxyRefusal refusal);

}  // namespace rg::proxy
