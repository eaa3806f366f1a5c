// Loading and linting a policy must stay linear in its number of entries:
// every list section and the Globals section are read once, and the lint's
// duplicate checks are lookups. Reported per entry (items_per_second), which
// should stay about flat from a thousand entries to a million. Two shapes:
// entries spread over every list kind (and sections by the thousand), and
// all of them in [ValidMaxLenByHeader], whose limits were once looked up by
// reading the whole file again for each line.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "policy/policy.h"
#include "ravelgard/lint.h"

namespace {

struct BenchDirectory {
  std::string path;
  BenchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rgbench.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
  }
  ~BenchDirectory() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// n entries over five lists and n / 100 unknown sections, Globals last.
std::string SpreadPolicy(int64_t n) {
  std::string ini;
  const char* sections[] = {"[VerbDeny]", "[ExtensionDeny]", "[DenyUrlSequence]",
                            "[DenyQuerySequence]", "[ValidMaxLenByHeader]"};
  for (int list = 0; list < 5; ++list) {
    ini += std::string(sections[list]) + "\n";
    for (int64_t i = 0; i < n / 5; ++i)
      ini += (list == 4 ? "X-Header-" + std::to_string(i) + "=" + std::to_string(i)
                        : "entry" + std::to_string(i)) +
             "\n";
  }
  for (int64_t i = 0; i < n / 100; ++i) ini += "[Section" + std::to_string(i) + "]\nKey=1\n";
  ini += "[Globals]\nVerbAllow=0\nExtensionAllow=0\nUrlMaxLen=260\n";
  return ini;
}

// n header limits, every tenth name a repeat in another letter case.
std::string LimitPolicy(int64_t n) {
  std::string ini = "[Globals]\nUrlMaxLen=260\n[ValidMaxLenByHeader]\n";
  for (int64_t i = 0; i < n; ++i) {
    std::string name = "X-Header-" + std::to_string(i % 10 == 9 ? i - 9 : i);
    if (i % 10 == 9) name[0] = 'x';
    ini += name + "=" + std::to_string(i) + "\n";
  }
  return ini;
}

void Load(benchmark::State& state, const std::string& content) {
  BenchDirectory dir;
  std::string ini = dir.path + "/Ravelgard.ini";
  std::string logs = dir.path + "/logs";
  FILE* f = std::fopen(ini.c_str(), "wb");
  if (f == nullptr || std::fwrite(content.data(), 1, content.size(), f) != content.size())
    std::abort();
  std::fclose(f);
  for (auto _ : state) {
    auto* policy = static_cast<rg::FilterPolicy*>(rg::HeapAllocZero(sizeof(rg::FilterPolicy)));
    if (rg::LoadPolicy(policy, ini.c_str(), logs.c_str()) != 0) {
      state.SkipWithError("the policy did not load");
      rg::FreePolicy(policy);
      break;
    }
    rg::FreePolicy(policy);
    // Each load writes the summary into the day's log; start it afresh.
    state.PauseTiming();
    std::error_code ec;
    std::filesystem::remove_all(logs, ec);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_LoadSpread(benchmark::State& state) { Load(state, SpreadPolicy(state.range(0))); }
BENCHMARK(BM_LoadSpread)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);

void BM_LoadHeaderLimits(benchmark::State& state) { Load(state, LimitPolicy(state.range(0))); }
BENCHMARK(BM_LoadHeaderLimits)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond);

void Lint(benchmark::State& state, const std::string& content) {
  for (auto _ : state) {
    auto warnings = rg::tool::LintIni(content);
    benchmark::DoNotOptimize(warnings.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_LintSpread(benchmark::State& state) { Lint(state, SpreadPolicy(state.range(0))); }
BENCHMARK(BM_LintSpread)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);

void BM_LintHeaderLimits(benchmark::State& state) { Lint(state, LimitPolicy(state.range(0))); }
BENCHMARK(BM_LintHeaderLimits)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
