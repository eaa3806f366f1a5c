// The INI reader must stay linear in the file's size for one call, whatever
// the shape of the file: many short lines, one very long line, or the wanted
// section behind large other ones. Reported per byte of file (bytes_per_second),
// which should stay flat from 4 KiB to 4 MiB. Also the formatting of a full
// 1024-byte log line, which every rejection pays.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kit/test_kit.h"
#include "platform/platform.h"

namespace {

// A file in a temporary directory, removed at the end of the run.
struct BenchFile {
  rg::test::TempDir dir;
  std::string path = dir.File("bench.ini");
  explicit BenchFile(const std::string& content) {
    if (!rg::test::WriteTextFile(path, content)) std::abort();
  }
};

// "[Big]" with numbered "KeyN = value N" lines up to about `size` bytes,
// CR LF line ends, the last key named "Last".
std::string ManyLines(size_t size) {
  std::string ini = "[Globals]\r\nSimulate=0\r\n[Big]\r\n";
  for (int i = 0; ini.size() < size; ++i)
    ini += "  Key" + std::to_string(i) + " = value " + std::to_string(i) + " ; note\r\n";
  ini += "Last=12345\r\n";
  return ini;
}

void BM_SectionOfManyLines(benchmark::State& state) {
  BenchFile file(ManyLines(size_t(state.range(0))));
  std::vector<char> buffer(size_t(state.range(0)) + 64);
  for (auto _ : state) {
    uint32_t n = rg::ProfileGetSection("Big", buffer.data(), uint32_t(buffer.size()),
                                       file.path.c_str());
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SectionOfManyLines)->RangeMultiplier(4)->Range(4 << 10, 4 << 20);

void BM_IntOfTheLastKey(benchmark::State& state) {
  BenchFile file(ManyLines(size_t(state.range(0))));
  for (auto _ : state) {
    uint32_t v = rg::ProfileGetInt("big", "LAST", -1, file.path.c_str());
    if (v != 12345) state.SkipWithError("wrong value");
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_IntOfTheLastKey)->RangeMultiplier(4)->Range(4 << 10, 4 << 20);

// One line as long as the file, with blank runs inside it that must be kept.
void BM_OneLongLine(benchmark::State& state) {
  std::string line = "Banner=";
  while (line.size() < size_t(state.range(0))) line += "word    \t";
  line += "end";
  BenchFile file("[Globals]\n" + line + "\n");
  std::vector<char> buffer(line.size() + 16);
  for (auto _ : state) {
    uint32_t n = rg::ProfileGetString("Globals", "Banner", "", buffer.data(),
                                      uint32_t(buffer.size()), file.path.c_str());
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_OneLongLine)->RangeMultiplier(4)->Range(4 << 10, 4 << 20);

// The wanted section comes last, behind other sections of the same size:
// their lines are skipped, not parsed.
void BM_SectionBehindOthers(benchmark::State& state) {
  std::string ini = ManyLines(size_t(state.range(0)));
  ini += "[Wanted]\r\nGET\r\nPOST\r\n";
  BenchFile file(ini);
  char buffer[64];
  for (auto _ : state) {
    uint32_t n = rg::ProfileGetSection("Wanted", buffer, sizeof buffer, file.path.c_str());
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SectionBehindOthers)->RangeMultiplier(4)->Range(4 << 10, 4 << 20);

void BM_FormatLogLine(benchmark::State& state) {
  std::string request = "GET /scripts/..%c0%af../winnt/system32/cmd.exe?/c+dir HTTP/1.0";
  while (request.size() < 2000) request += "/x";
  char line[1024];
  for (auto _ : state) {
    int n = rg::FormatText(line, sizeof line, "%s%s [Dot found in Url before extension] %s[%s]\r\n",
                           "2024-03-05 14:07:09 ", "192.168.100.200", "[-] ", request.c_str());
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 1023);
}
BENCHMARK(BM_FormatLogLine);

}  // namespace
