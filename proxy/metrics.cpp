#include "proxy/metrics.h"

#include <cinttypes>
#include <cstdio>

namespace rg::proxy {

void WorkerMetrics::ObserveScreening(uint64_t nanoseconds) {
  double seconds = static_cast<double>(nanoseconds) * 1e-9;
  for (size_t i = 0; i < kScreenBucketCount; ++i) {
    if (seconds <= kScreenBuckets[i]) {
      screenBuckets[i].Add();
      break;
    }
  }
  screenCount.Add();
  screenNanoseconds.Add(nanoseconds);
}

const char* FrameErrorLabel(FrameError error) {
  switch (error) {
    case FrameError::kNone: return "none";
    case FrameError::kContentLengthWithTransferEncoding: return "content_length_with_transfer_encoding";
    case FrameError::kContentLengthRepeated: return "content_length_repeated";
    case FrameError::kContentLengthInvalid: return "content_length_invalid";
    case FrameError::kTransferCodingUnsupported: return "transfer_coding_unsupported";
    case FrameError::kTransferEncodingOnHttp10: return "transfer_encoding_on_http10";
    case FrameError::kObsoleteLineFolding: return "obsolete_line_folding";
    case FrameError::kSpaceBeforeColon: return "space_before_colon";
    case FrameError::kBareCarriageReturn: return "bare_carriage_return";
    case FrameError::kBareLineFeed: return "bare_line_feed";
    case FrameError::kChunkSizeInvalid: return "chunk_size_invalid";
    case FrameError::kChunkExtensionInvalid: return "chunk_extension_invalid";
    case FrameError::kChunkDataInvalid: return "chunk_data_invalid";
    case FrameError::kTrailerInvalid: return "trailer_invalid";
    case FrameError::kRequestLineInvalid: return "request_line_invalid";
    case FrameError::kHeaderInvalid: return "header_invalid";
    case FrameError::kVersionUnsupported: return "version_unsupported";
    case FrameError::kStatusLineInvalid: return "status_line_invalid";
    case FrameError::kHeadTooLong: return "head_too_long";
    case FrameError::kUnexpectedData: return "unexpected_data";
    case FrameError::kOther: return "other";
    case FrameError::kBoundaryDisputed: return "boundary_disputed";
    case FrameError::kCount: break;
  }
  return "other";
}

const char* ProxyRefusalLabel(ProxyRefusal refusal) {
  switch (refusal) {
    case ProxyRefusal::kBoundaryDisputed: return "screening_boundary_disputed";
    case ProxyRefusal::kUpgradeNotAllowed: return "upgrade_not_allowed";
    case ProxyRefusal::kConnect: return "connect";
    case ProxyRefusal::kCount: break;
  }
  return "other";
}

namespace {

struct Writer {
  std::string text;
  void Help(const char* name, const char* type, const char* help) {
    text += "# HELP ";
    text += name;
    text += ' ';
    text += help;
    text += "\n# TYPE ";
    text += name;
    text += ' ';
    text += type;
    text += '\n';
  }
  void Value(const char* name, const char* labels, uint64_t value) {
    char line[256];
    std::snprintf(line, sizeof line, "%s%s %" PRIu64 "\n", name, labels, value);
    text += line;
  }
  void Simple(const char* name, const char* type, const char* help, uint64_t value) {
    Help(name, type, help);
    Value(name, "", value);
  }
};

template <typename F>
uint64_t Sum(const std::vector<const WorkerMetrics*>& workers, F field) {
  uint64_t total = 0;
  for (const WorkerMetrics* w : workers) total += field(*w).Get();
  return total;
}

}  // namespace

std::string RenderMetrics(const std::vector<const WorkerMetrics*>& workers,
                          const ProcessMetrics& process) {
  Writer out;
#define RG_SUM(member) Sum(workers, [](const WorkerMetrics& m) -> const Counter& { return m.member; })
  out.Simple("ravelgard_connections_open", "gauge", "Client connections open.",
             RG_SUM(connectionsOpen));
  out.Simple("ravelgard_connections_accepted_total", "counter", "Client connections accepted.",
             RG_SUM(connectionsAccepted));
  out.Simple("ravelgard_connections_refused_total", "counter",
             "Client connections closed at once because --max-connections was reached.",
             RG_SUM(connectionsRefused));
  out.Simple("ravelgard_requests_screened_total", "counter",
             "Requests whose head was screened to a verdict.", RG_SUM(requestsScreened));
  out.Simple("ravelgard_requests_passed_total", "counter",
             "Requests forwarded whole to the upstream.", RG_SUM(requestsPassed));

  out.Help("ravelgard_requests_blocked_total", "counter",
           "Requests refused by the policy, by reason code of the log.");
  for (uint32_t r = 0; r < kReasonCount; ++r) {
    uint64_t v = 0;
    for (const WorkerMetrics* w : workers) v += w->blockedByReason[r].Get();
    if (v == 0) continue;
    char labels[32];
    std::snprintf(labels, sizeof labels, "{reason=\"%u\"}", r);
    out.Value("ravelgard_requests_blocked_total", labels, v);
  }
  out.Help("ravelgard_requests_simulated_total", "counter",
           "Requests the policy refused but Simulate mode let through, by reason code.");
  for (uint32_t r = 0; r < kReasonCount; ++r) {
    uint64_t v = 0;
    for (const WorkerMetrics* w : workers) v += w->simulatedByReason[r].Get();
    if (v == 0) continue;
    char labels[32];
    std::snprintf(labels, sizeof labels, "{reason=\"%u\"}", r);
    out.Value("ravelgard_requests_simulated_total", labels, v);
  }
  out.Help("ravelgard_framing_refusals_total", "counter",
           "Requests refused for their framing (request smuggling, malformed messages), "
           "upgrades other than WebSocket and CONNECT, by reason.");
  for (uint32_t e = 1; e < static_cast<uint32_t>(FrameError::kCount); ++e) {
    uint64_t v = 0;
    for (const WorkerMetrics* w : workers) v += w->framingRefusals[e].Get();
    char labels[96];
    std::snprintf(labels, sizeof labels, "{reason=\"%s\"}", FrameErrorLabel(static_cast<FrameError>(e)));
    out.Value("ravelgard_framing_refusals_total", labels, v);
  }
  for (uint32_t e = 0; e < static_cast<uint32_t>(ProxyRefusal::kCount); ++e) {
    uint64_t v = 0;
    for (const WorkerMetrics* w : workers) v += w->proxyRefusals[e].Get();
    char labels[96];
    std::snprintf(labels, sizeof labels, "{reason=\"%s\"}",
                  ProxyRefusalLabel(static_cast<ProxyRefusal>(e)));
    out.Value("ravelgard_framing_refusals_total", labels, v);
  }
  out.Simple("ravelgard_upstream_errors_total", "counter",
             "Upstream connections that failed: unreachable, reset or a malformed response.",
             RG_SUM(upstreamErrors));
  out.Simple("ravelgard_upstream_timeouts_total", "counter",
             "Upstream operations that ran past --upstream-timeout.", RG_SUM(upstreamTimeouts));
  out.Simple("ravelgard_client_timeouts_total", "counter",
             "Client connections closed by the header, idle or write timeout.",
             RG_SUM(clientTimeouts));
  out.Simple("ravelgard_bytes_in_total", "counter", "Bytes received from clients.",
             RG_SUM(bytesIn));
  out.Simple("ravelgard_bytes_out_total", "counter", "Bytes sent to clients.", RG_SUM(bytesOut));
  out.Simple("ravelgard_websocket_tunnels_total", "counter",
             "WebSocket upgrades the upstream accepted; their traffic is not screened.",
             RG_SUM(tunnelsOpened));
  out.Simple("ravelgard_websocket_tunnels_open", "gauge", "WebSocket tunnels open.",
             RG_SUM(tunnelsOpen));
  out.Simple("ravelgard_policy_reloads_total", "counter", "Policies loaded again on SIGHUP.",
             process.reloadsOk.load(std::memory_order_relaxed));
  out.Simple("ravelgard_policy_reload_failures_total", "counter",
             "SIGHUP reloads that failed and kept the previous policy.",
             process.reloadsFailed.load(std::memory_order_relaxed));

  out.Help("ravelgard_screening_seconds", "histogram",
           "Time spent screening one request, head and body.");
  uint64_t cumulative = 0;
  for (size_t i = 0; i < kScreenBucketCount; ++i) {
    for (const WorkerMetrics* w : workers) cumulative += w->screenBuckets[i].Get();
    char labels[48];
    std::snprintf(labels, sizeof labels, "{le=\"%g\"}", kScreenBuckets[i]);
    out.Value("ravelgard_screening_seconds_bucket", labels, cumulative);
  }
  uint64_t count = RG_SUM(screenCount);
  out.Value("ravelgard_screening_seconds_bucket", "{le=\"+Inf\"}", count);
  char sum[64];
  std::snprintf(sum, sizeof sum, "ravelgard_screening_seconds_sum %.9f\n",
                static_cast<double>(RG_SUM(screenNanoseconds)) * 1e-9);
  out.text += sum;
  out.Value("ravelgard_screening_seconds_count", "", count);
#undef RG_SUM
  return out.text;
}

}  // namespace rg::proxy
