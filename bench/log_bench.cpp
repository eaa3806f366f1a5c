// Cost of one rejection record: an ordinary request line, and a cut request
// full of control bytes that all have to be escaped. The log file lives in a
// temporary directory and is emptied now and then (outside the timing) so a
// long run does not fill the disk.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "log/log.h"
#include "log/reason.h"

namespace {

struct BenchLog {
  std::string directory;
  rg::FilterPolicy* policy = nullptr;

  BenchLog() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rgbench.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    directory = pattern;
    policy = static_cast<rg::FilterPolicy*>(rg::HeapAllocZero(sizeof(rg::FilterPolicy)));
    policy->LogFile = rg::kInvalidFile;
    policy->Banner = static_cast<char*>(rg::HeapAllocZero(256));
    policy->LogDirectory = static_cast<char*>(rg::HeapAllocZero(256));
    std::snprintf(policy->LogDirectory, 256, "%s", directory.c_str());
    rg::LockInit(&rg::LogLock);
    if (rg::OpenLogFile(policy) != 0) std::abort();
  }
  ~BenchLog() {
    rg::FreePolicy(policy);
    rg::LockDelete(&rg::LogLock);
    std::error_code ec;
    std::filesystem::remove_all(directory, ec);
  }
  // The log file is an ordinary descriptor on POSIX.
  void Empty() {
    int fd = static_cast<int>(policy->LogFile);
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) std::abort();
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
