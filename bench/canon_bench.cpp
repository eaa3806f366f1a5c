// Canonicalize over hostile inputs of 1 KiB, 64 KiB and 1 MiB. Decoding must
// stay linear: the time per byte should not grow with the size of the text.
//
// Canonicalize works in place, so every text needs a fresh copy of the
// input. The copies are made outside the measured interval (manual timing
// around the calls alone); PauseTiming/ResumeTiming would cost more than a
// 1 KiB run itself.
//
// Read the result from the "per_byte" column: seconds per input byte, with
// an SI suffix (n = nanoseconds).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "canon/canon.h"

namespace {

enum class Input {
  kAscii,          // nothing to decode: the cost of the plain path
  kPercentRun,     // %%%%...: every '%' meets an invalid escape
  kUEscapes,       // %u%u%u...: every %u escape is invalid
  kValidU,         // %uFF0F...: fullwidth forms, all valid
  kEncodedUtf8,    // %C0%AF...: decoding yields sequences for the fold
  kLeadBytes,      // C0 E0 F0 F8 FC...: lead bytes without continuations
  kCutSequences,   // FC 80 80 80 80 FC...: six-byte forms cut one byte short
  kMixed,          // random draw from all of the above
};

std::vector<uint8_t> Repeat(const std::string& unit, size_t size) {
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(unit[i % unit.size()]);
  return out;
}

std::vector<uint8_t> MakeInput(Input kind, size_t size) {
  switch (kind) {
    case Input::kAscii:
      return Repeat("/scripts/default.htm?a=1&b=2/", size);
    case Input::kPercentRun:
      return Repeat("%", size);
    case Input::kUEscapes:
      return Repeat("%u", size);
    case Input::kValidU:
      return Repeat("%uFF0F", size);
    case Input::kEncodedUtf8:
      return Repeat("%C0%AF", size);
    case Input::kLeadBytes:
      return Repeat("\xC0\xE0\xF0\xF8\xFC", size);
    case Input::kCutSequences:
      return Repeat("\xFC\x80\x80\x80\x80", size);
    case Input::kMixed:
      break;
  }
  const std::string alphabet =
      "%%%%%uU0fF9x-+ ./a\x80\xAF\xBF\xC0\xC3\xE0\xF0\xF8\xFC\xFD\xFE\xFF";
  std::mt19937 rng(2024);
  std::vector<uint8_t> out(size);
  for (uint8_t& b : out) b = static_cast<uint8_t>(alphabet[rng() % alphabet.size()]);
  return out;
}

// Every text decoded is a different window of a pool of at least 256 KiB:
// repeating the same 1 KiB would let the branch predictor learn it, and the
// small size would look cheaper than it is. The pool stays small enough to
// sit in cache, so that the small sizes do not pay for memory misses either.
constexpr size_t kMinPool = size_t{256} << 10;
// Small texts are timed in batches of this many bytes, so that the clock
// reads around each batch are noise rather than a fixed cost per text.
constexpr size_t kBatchBytes = size_t{64} << 10;

void BM_Canonicalize(benchmark::State& state, Input kind) {
  const size_t size = static_cast<size_t>(state.range(0));
  const size_t batch = size >= kBatchBytes ? 1 : kBatchBytes / size;
  const size_t poolSize = size > kMinPool ? size : kMinPool;
  const std::vector<uint8_t> pool = MakeInput(kind, poolSize + size);
  std::vector<uint8_t> work(batch * size);
  size_t offset = 0;
  for (auto _ : state) {
    for (size_t i = 0; i < batch; ++i) {
      std::memcpy(work.data() + i * size, pool.data() + offset, size);
      // Odd steps keep the windows of periodic inputs at varying phases.
      offset = (offset + size + 7) % poolSize;
    }
    benchmark::ClobberMemory();
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < batch; ++i) {
      uint32_t length = static_cast<uint32_t>(size);
      rg::Canonicalize(work.data() + i * size, &length);
      benchmark::DoNotOptimize(length);
    }
    benchmark::ClobberMemory();
    auto stop = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
  }
  const double bytesPerIteration = static_cast<double>(batch * size);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batch * size));
  state.counters["texts"] = static_cast<double>(batch);
  state.counters["per_byte"] = benchmark::Counter(
      bytesPerIteration,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// With --benchmark_repetitions, "min" is the least disturbed run: on a
// shared machine other processes only ever make a run slower.
double Fastest(const std::vector<double>& values) {
  return *std::min_element(values.begin(), values.end());
}

#define RG_CANON_BENCH(name, kind)                          \
  BENCHMARK_CAPTURE(BM_Canonicalize, name, Input::kind)     \
      ->Arg(1 << 10)                                        \
      ->Arg(1 << 16)                                        \
      ->Arg(1 << 20)                                        \
      ->UseManualTime()                                     \
      ->ComputeStatistics("min", Fastest)

RG_CANON_BENCH(ascii, kAscii);
RG_CANON_BENCH(percent_run, kPercentRun);
RG_CANON_BENCH(u_escapes, kUEscapes);
RG_CANON_BENCH(valid_u, kValidU);
RG_CANON_BENCH(encoded_utf8, kEncodedUtf8);
RG_CANON_BENCH(lead_bytes, kLeadBytes);
RG_CANON_BENCH(cut_sequences, kCutSequences);
RG_CANON_BENCH(mixed, kMixed);

}  // namespace
