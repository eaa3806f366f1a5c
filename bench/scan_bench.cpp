// Cost of scanning requests: a typical browser request, header blocks of
// 4 KiB and 64 KiB, and a 100 MiB body, each whole and in small chunks; and,
// for scale, a memchr pass and llhttp over the typical request.
//
// The policy is a production-like one: verbs GET, HEAD, POST; HTTP/1.0 and
// 1.1; URL, query and header-name limits; denied extensions; per-header
// limits for Cookie and Referer; URL and query canonicalized twice; and ten
// forbidden sequences each for URL and query.
//
// Cost per byte of a request sent one byte per chunk must not depend on the
// request's size (compare the bytes_per_second of the 4 KiB and 64 KiB
// runs), and a body must not be kept in memory (rss_growth_kib of the body
// run).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "frame/llhttp_execute.h"
#include "kit/test_kit.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "policy/policy.h"
#include "scan/byte_scan.h"
#include "scan/scan.h"

namespace {

using rg::FilterPolicy;
using rg::ScanContext;

FilterPolicy* NewBenchPolicy() {
  FilterPolicy* p = rg::test::NewDefaultPolicy();
  p->HasUrlMaxLen = 1;
  p->UrlMaxLen = 260;
  p->HasQueryMaxLen = 1;
  p->QueryMaxLen = 512;
  p->HasHeaderNameMaxLen = 1;
  p->HeaderNameMaxLen = 64;
  rg::test::SetList(&p->Verbs, {"GET", "HEAD", "POST"});
  rg::test::SetVersions(&p->HttpVersions, {"HTTP/1.0", "HTTP/1.1"});
  p->HostPorts.flag = 0;
  p->Extensions.flag = 0;
  rg::test::SetList(&p->Extensions, {".exe", ".ini"});
  // Denied header names on, with an empty section.
  rg::test::SetLimits(&p->HeaderLimits, {{"Cookie", 900}, {"Referer", 512}});
  rg::test::SetList(&p->UrlSequences, {"..", "./", "\\", ":", "//", "cmd", "exec", "<", ">", "~"});
  rg::test::SetList(&p->QuerySequences, {"select", "union", "insert", "drop", "<script",
                                         "javascript:", "../", "exec(", "--", "0x"});
  // As the loader leaves a policy: the lists indexed.
  if (rg::IndexPolicyLists(p) != 0) std::abort();
  return p;
}

struct BenchPolicy {
  FilterPolicy* policy = NewBenchPolicy();
  ~BenchPolicy() { rg::FreePolicy(policy); }
};

const FilterPolicy* Policy() {
  static BenchPolicy holder;
  return holder.policy;
}

// The same policy with both sequence lists switched off: shows what the
// sequence search costs of the whole.
const FilterPolicy* PolicyWithoutSequences() {
  static BenchPolicy holder;
  holder.policy->UrlSequences.flag = 0;
  holder.policy->QuerySequences.flag = 0;
  return holder.policy;
}

const std::string& TypicalRequest() {
  static const std::string request =
      "GET /products/item.html?id=12345&ref=home HTTP/1.1\r\n"
      "Host: www.example.com\r\n"
      "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
      "Gecko) Chrome/120.0.0.0 Safari/537.36\r\n"
      "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;"
      "q=0.8\r\n"
      "Accept-Language: en-US,en;q=0.9\r\n"
      "Accept-Encoding: gzip, deflate, br\r\n"
      "Referer: https://www.example.com/index.html\r\n"
      "Connection: keep-alive\r\n"
      "Cookie: session=abc123def456; theme=light; _ga=GA1.2.3456789.1234567890\r\n"
      "Upgrade-Insecure-Requests: 1\r\n"
      "Sec-Fetch-Dest: document\r\n"
      "Sec-Fetch-Mode: navigate\r\n"
      "Cache-Control: max-age=0\r\n"
      "\r\n";
  return request;
}

// A request line followed by header lines of about 70 bytes, and a last
// header whose value makes the request exactly the given size.
std::string RequestWithHeaders(size_t size) {
  std::string request = "GET /data/report.html?page=2 HTTP/1.1\r\nHost: www.example.com\r\n";
  const std::string fill = "X-Fill: ";
  for (int n = 0; request.size() + 100 + fill.size() < size; ++n) {
    char line[96];
    std::snprintf(line, sizeof line,
                  "X-Custom-Header-%05d: value text of an ordinary header, number %05d\r\n", n, n);
    request += line;
  }
  request += fill;
  request.append(size - 4 - request.size(), 'z');
  request += "\r\n\r\n";
  return request;
}

// One header whose value makes the request the given size.
std::string RequestWithLongValue(size_t size) {
  std::string request = "POST /upload HTTP/1.1\r\nHost: www.example.com\r\nX-Blob: ";
  request.append(size - 4 - request.size(), 'v');
  request += "\r\n\r\n";
  return request;
}

void ScanOnce(const FilterPolicy* policy, const std::string& request, size_t chunk,
              ScanContext* context) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(request.data());
  for (size_t at = 0; at < request.size(); at += chunk) {
    size_t n = request.size() - at < chunk ? request.size() - at : chunk;
    rg::ScanRawData(policy, context, bytes + at, static_cast<uint32_t>(n));
  }
}

void RunScan(benchmark::State& state, const std::string& request, size_t chunk,
             const FilterPolicy* policy = Policy()) {
  for (auto _ : state) {
    ScanContext context{};
    ScanOnce(policy, request, chunk, &context);
    if (context.state != rg::kStatePayload) {
      state.SkipWithError("the request was not accepted");
      rg::HeapFreeBlock(context.data);
      break;
    }
    benchmark::DoNotOptimize(context.reason);
    rg::HeapFreeBlock(context.data);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(request.size()));
  state.counters["request_bytes"] = static_cast<double>(request.size());
}

void BM_TypicalRequest(benchmark::State& state) {
  RunScan(state, TypicalRequest(), static_cast<size_t>(state.range(0)));
}
BENCHMARK(BM_TypicalRequest)->ArgName("chunk")->Arg(1 << 20)->Arg(1)
    ->Repetitions(10)->ReportAggregatesOnly(true);

// The typical request at each level of the byte searches (0 portable, 1
// SSE2, 2 AVX2; a level the processor lacks runs as its best).
void BM_TypicalRequestAtLevel(benchmark::State& state) {
  rg::ByteScanLevel before =
      rg::SetByteScanLevel(static_cast<rg::ByteScanLevel>(state.range(0)));
  state.counters["level"] = static_cast<double>(rg::ByteScanActiveLevel());
  RunScan(state, TypicalRequest(), 1 << 20);
  rg::SetByteScanLevel(before);
}
BENCHMARK(BM_TypicalRequestAtLevel)->ArgName("level")->Arg(0)->Arg(1)->Arg(2)
    ->Repetitions(5)->ReportAggregatesOnly(true);

void BM_TypicalRequestWithoutSequences(benchmark::State& state) {
  RunScan(state, TypicalRequest(), 1 << 20, PolicyWithoutSequences());
}
BENCHMARK(BM_TypicalRequestWithoutSequences)->Repetitions(10)->ReportAggregatesOnly(true);

// The scale the typical request's time is read on: one memchr pass over its
// bytes (the least any reader can cost) and llhttp parsing it with no
// callback but the message's end (what a strict parser costs before any
// rule is held against anything), run as the framer runs it.
void BM_TypicalRequestMemchr(benchmark::State& state) {
  const std::string& request = TypicalRequest();
  for (auto _ : state) {
    const void* hit = std::memchr(request.data(), 0, request.size());
    benchmark::DoNotOptimize(hit);
  }
}
BENCHMARK(BM_TypicalRequestMemchr)->Repetitions(10)->ReportAggregatesOnly(true);

int PauseAtMessageEnd(llhttp_t*) { return HPE_PAUSED; }

void BM_TypicalRequestLlhttp(benchmark::State& state) {
  const std::string& request = TypicalRequest();
  llhttp_settings_t settings;
  llhttp_settings_init(&settings);
  settings.on_message_complete = PauseAtMessageEnd;
  for (auto _ : state) {
    llhttp_t parser;
    llhttp_init(&parser, HTTP_REQUEST, &settings);
    const llhttp_errno_t result = rg::LlhttpExecute(&parser, request.data(), request.size());
    if (result != HPE_PAUSED) {
      state.SkipWithError("llhttp did not read the whole request");
      break;
    }
    benchmark::DoNotOptimize(parser);
  }
}
BENCHMARK(BM_TypicalRequestLlhttp)->Repetitions(10)->ReportAggregatesOnly(true);

// Pseudo-random entries of 3 to 12 bytes over letters, digits and the
// punctuation of attack signatures, none of them found in the typical
// request (which must still pass), after the given first entries.
std::vector<std::string> GrowList(std::vector<std::string> entries, size_t count,
                                  const std::string& prefix, uint32_t seed) {
  static const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789<>'();%._-=";
  std::string request = TypicalRequest();
  for (char& c : request) c = static_cast<char>(rg::AsciiLower(static_cast<uint8_t>(c)));
  std::mt19937 random(seed);
  while (entries.size() < count) {
    std::string entry = prefix;
    size_t length = 3 + random() % 10;
    while (entry.size() < prefix.size() + length) entry += alphabet[random() % alphabet.size()];
    if (request.find(entry) == std::string::npos) entries.push_back(entry);
  }
  return entries;
}

void SetEntries(rg::StringList* list, const std::vector<std::string>& entries) {
  std::vector<std::string_view> views(entries.begin(), entries.end());
  rg::test::SetListFrom(list, views.data(), views.size());
}

// The bench policy with n entries in each of the URL and query sequence
// lists and the denied header names: the ten sequences of each list above,
// then generated ones.
FilterPolicy* NewListPolicy(size_t n) {
  FilterPolicy* p = NewBenchPolicy();
  SetEntries(&p->UrlSequences, GrowList({"..", "./", "\\", ":", "//", "cmd", "exec", "<", ">",
                                         "~"}, n, "", 1));
  SetEntries(&p->QuerySequences,
             GrowList({"select", "union", "insert", "drop", "<script", "javascript:", "../",
                       "exec(", "--", "0x"}, n, "", 2));
  SetEntries(&p->DeniedHeaderNames,
             GrowList({"Translate", "If", "Lock-Token", "Destination", "Proxy", "Overwrite",
                       "Depth", "Timeout", "X-Forwarded-Host", "Max-Forwards"}, n, "x-", 3));
  if (rg::IndexPolicyLists(p) != 0) std::abort();
  return p;
}

// List size must be nearly free: the typical request with 10 and with
// 1,000 entries in each list.
void BM_TypicalRequestListSize(benchmark::State& state) {
  static BenchPolicy ten{NewListPolicy(10)};
  static BenchPolicy thousand{NewListPolicy(1000)};
  RunScan(state, TypicalRequest(), 1 << 20, state.range(0) == 10 ? ten.policy : thousand.policy);
}
BENCHMARK(BM_TypicalRequestListSize)->ArgName("entries")->Arg(10)->Arg(1000)
    ->Repetitions(5)->ReportAggregatesOnly(true);

// A request whose query is the given number of bytes of ordinary words:
// the sequence search over it must stay linear in its length, with 10 or
// with 1,000 entries (ns per query byte about the same in all four runs).
std::string RequestWithQuery(size_t length) {
  static const char* const kWords[] = {"page", "sort", "view", "lang", "item", "list", "grid",
                                       "name", "city", "from", "date", "size"};
  std::string query;
  for (int n = 0; query.size() < length; ++n) {
    query += kWords[n % 12];
    query += '=';
    query += kWords[(n * 5 + 3) % 12];
    query += '&';
  }
  query.resize(length);
  return "GET /search.html?" + query + " HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
}

void BM_QueryListSize(benchmark::State& state) {
  static BenchPolicy ten{NewListPolicy(10)};
  static BenchPolicy thousand{NewListPolicy(1000)};
  static const std::string shortQuery = RequestWithQuery(100);
  static const std::string longQuery = RequestWithQuery(500);
  const std::string& request = state.range(1) == 100 ? shortQuery : longQuery;
  RunScan(state, request, 1 << 20, state.range(0) == 10 ? ten.policy : thousand.policy);
}
BENCHMARK(BM_QueryListSize)->ArgNames({"entries", "query"})
    ->Args({10, 100})->Args({10, 500})->Args({1000, 100})->Args({1000, 500})
    ->Repetitions(5)->ReportAggregatesOnly(true);

void BM_HeaderBlock(benchmark::State& state) {
  static const std::string small = RequestWithHeaders(4096);
  static const std::string large = RequestWithHeaders(65536);
  RunScan(state, state.range(0) == 4 ? small : large, static_cast<size_t>(state.range(1)));
}
BENCHMARK(BM_HeaderBlock)->ArgNames({"KiB", "chunk"})
    ->Args({4, 1 << 20})->Args({64, 1 << 20})->Args({4, 1})->Args({64, 1})
    ->Repetitions(5)->ReportAggregatesOnly(true);

void BM_LongHeaderValue(benchmark::State& state) {
  static const std::string small = RequestWithLongValue(4096);
  static const std::string large = RequestWithLongValue(65536);
  RunScan(state, state.range(0) == 4 ? small : large, static_cast<size_t>(state.range(1)));
}
BENCHMARK(BM_LongHeaderValue)->ArgNames({"KiB", "chunk"})
    ->Args({4, 1 << 20})->Args({64, 1 << 20})->Args({4, 1})->Args({64, 1})
    ->Repetitions(5)->ReportAggregatesOnly(true);

// Resident memory of the process, from /proc/self/statm.
long ResidentKiB() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
  std::fclose(f);
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A 100 MiB upload in 64 KiB chunks after its headers.
void BM_Body100MiB(benchmark::State& state) {
  static const std::string head =
      "POST /upload HTTP/1.1\r\nHost: www.example.com\r\nContent-Length: 104857600\r\n\r\n";
  static const std::string chunk(65536, 'b');
  const int chunks = 1600;
  long residentBefore = ResidentKiB();
  long residentGrowth = 0;
  uint32_t capacity = 0;
  for (auto _ : state) {
    ScanContext context{};
    rg::ScanRawData(Policy(), &context, head.data(), static_cast<uint32_t>(head.size()));
    for (int i = 0; i < chunks; ++i)
      rg::ScanRawData(Policy(), &context, chunk.data(), static_cast<uint32_t>(chunk.size()));
    if (context.state != rg::kStatePayload) {
      state.SkipWithError("the body was not accepted");
      rg::HeapFreeBlock(context.data);
      break;
    }
    // Measured while the context still holds whatever it kept.
    long growth = ResidentKiB() - residentBefore;
    if (growth > residentGrowth) residentGrowth = growth;
    capacity = context.capacity;
    rg::HeapFreeBlock(context.data);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          (static_cast<int64_t>(chunks) * 65536 + static_cast<int64_t>(head.size())));
  state.counters["rss_growth_kib"] = static_cast<double>(residentGrowth);
  state.counters["buffer_capacity"] = static_cast<double>(capacity);
}
BENCHMARK(BM_Body100MiB)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
