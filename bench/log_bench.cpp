// Cost of one rejection record: an ordinary request line, and a cut request
// full of control bytes that all have to be escaped. The log file lives in a
// temporary directory and is emptied now and then (outside the timing) so a
// long run does not fill the disk.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "kit/test_kit.h"
#include "log/log.h"
#include "log/reason.h"

namespace {

struct BenchLog {
  rg::test::TempDir directory;
  rg::FilterPolicy* policy = rg::test::NewDefaultPolicy();

  BenchLog() {
    rg::test::SetText(policy->LogDirectory, directory.path);
    if (rg::OpenLogFile(policy) != 0) std::abort();
  }
  ~BenchLog() { rg::FreePolicy(policy); }
  // The log file is an ordinary descriptor on POSIX, opened for appending:
  // after the cut the next record goes to the start again.
  void Empty() {
    if (ftruncate(static_cast<int>(policy->Log->file), 0) != 0) std::abort();
  }
};

void RunRecords(benchmark::State& state, std::string request, uint32_t lineEnd) {
  BenchLog log;
  std::string address = "192.168.100.200";
  rg::ScanContext context = {};
  context.clientAddress = address.data();
  context.data = reinterpret_cast<uint8_t*>(request.data());
  context.length = static_cast<uint32_t>(request.size());
  context.lineComplete = lineEnd != 0;
  context.lineEnd = lineEnd;
  uint64_t n = 0;
  for (auto _ : state) {
    rg::WriteRejection(log.policy, &context, rg::kReasonUrlDot, 0, 0);
    if (++n % 4096 == 0) {
      state.PauseTiming();
      log.Empty();
      state.ResumeTiming();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          (lineEnd != 0 ? lineEnd : request.size()));
}

void BM_RecordOrdinaryLine(benchmark::State& state) {
  std::string request =
      "GET /scripts/..%c0%af../winnt/system32/cmd.exe?/c+dir HTTP/1.1\r\n"
      "Host: www.example.com\r\n\r\n";
  RunRecords(state, request, static_cast<uint32_t>(request.find("\r\n")));
}
BENCHMARK(BM_RecordOrdinaryLine);

// A request cut before its first CR LF; every fourth byte a control byte.
void BM_RecordCutRequestOfControlBytes(benchmark::State& state) {
  std::string request(static_cast<size_t>(state.range(0)), 'a');
  for (size_t i = 0; i < request.size(); i += 4) request[i] = static_cast<char>(i % 32);
  RunRecords(state, request, 0);
}
BENCHMARK(BM_RecordCutRequestOfControlBytes)->Arg(1024)->Arg(16384);

}  // namespace
