// What the fuzz targets share beyond the test kit: the invariant check that
// stops a run, a scratch directory, policies chosen by the fuzzer and the
// chunking of a request.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "policy/policy.h"

namespace rg::fuzz {

// Reports a broken invariant with the given text and aborts, which libFuzzer
// records as a crash together with the input.
void Require(bool condition, const char* what);

// A directory under the system's temporary directory, made once per process
// and removed when the process exits (libFuzzer ends a time-bounded run with
// exit(), which still runs it).
const std::string& ScratchDirectory();

// Knobs read from the end of the input. Every knob reads 0 as the loader's
// default, so a seed that is a plain request followed by zero bytes screens
// with a default policy and full lists, in one chunk.
//
// Builds a heap policy the way the loader leaves one: switches, limits, list
// contents picked from small pools of ordinary and awkward entries (mixed
// case, high-bit bytes, an empty header name, a NUL), the banner and its
// block response, no log, LogDirectory = logDirectory. Free it with
// FreePolicy.
FilterPolicy* NewFuzzPolicy(FuzzedDataProvider* input, const std::string& logDirectory);

// Checks the shape of a loaded or built policy: each list either empty with
// null arrays or fully populated, lengths equal to the entries' string
// lengths, the banner, log directory and block response within their
// buffers.
void RequireWellFormedPolicy(const FilterPolicy* policy);

// Reads up to maxCuts raw cut values from the end of the input (a count,
// then the values). Read them before the request bytes take the rest.
std::vector<uint16_t> ReadCuts(FuzzedDataProvider* input, uint32_t maxCuts);
// Turns cut values into the lengths of the chunks that deliver n bytes: each
// cut is a chunk of 1 + value % (bytes left) bytes, and whatever is left
// after the cuts is the last chunk. No cuts: one chunk. n = 0: one empty
// chunk.
std::vector<uint32_t> ChunkLengths(const std::vector<uint16_t>& cuts, size_t n);

}  // namespace rg::fuzz
