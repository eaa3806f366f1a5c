// Shared pieces of the fuzz targets: policies chosen by the fuzzer, a fake
// server connection, scratch directories and the invariant check that stops
// a run.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "filter/isapi.h"
#include "policy/policy.h"

namespace rg::fuzz {

// Reports a broken invariant with the given text and aborts, which libFuzzer
// records as a crash together with the input.
void Require(bool condition, const char* what);

// A directory under the system's temporary directory, made once per process
// and removed when the process exits; tag names the target.
const std::string& ScratchDirectory(const char* tag);
// Removes every plain file directly inside dir (the day's log files).
void RemoveFilesIn(const std::string& dir);
// Writes bytes to path, replacing it.
void WriteFile(const std::string& path, const uint8_t* data, size_t size);

// Knobs read from the end of the input. Every knob reads 0 as the loader's
// default, so a seed that is a plain request followed by zero bytes screens
// with a default policy and full lists, in one chunk.
//
// Builds a heap policy the way the loader leaves one: switches, limits, list
// contents picked from small pools of ordinary and awkward entries (mixed
// case, high-bit bytes, an empty header name, a NUL), the banner and its
// block response, LogFile invalid, LogDirectory = logDirectory. Free it with
// FreePolicy.
FilterPolicy* NewFuzzPolicy(FuzzedDataProvider* input, const std::string& logDirectory);

// Checks the shape of a loaded or built policy: each list either empty with
// null arrays or fully populated, lengths equal to the entries' string
// lengths, the banner, log directory and block response within their
// buffers.
void RequireWellFormedPolicy(const FilterPolicy* policy);

// The fake server of a connection: fixed variables (or failing ones), a
// record of what the filter writes to the client, SetHeader's answer.
struct FakeServer {
  HTTP_FILTER_CONTEXT pfc;
  bool failRemoteAddr;
  bool failServerSoftware;
  bool failSetHeader;
  uint32_t writeCalls;
  uint32_t lastWriteBytes;
  char lastWriteStart[32];  // first bytes of the last write, NUL-terminated
};

void InitFakeServer(FakeServer* server);
BOOL WINAPI FakeSetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);

// Reads up to maxCuts raw cut values from the end of the input (a count,
// then the values). Read them before the request bytes take the rest.
std::vector<uint16_t> ReadCuts(FuzzedDataProvider* input, uint32_t maxCuts);
// Turns cut values into the lengths of the chunks that deliver n bytes: each
// cut is a chunk of 1 + value % (bytes left) bytes, and whatever is left
// after the cuts is the last chunk. No cuts: one chunk. n = 0: one empty
// chunk.
std::vector<uint32_t> ChunkLengths(const std::vector<uint16_t>& cuts, size_t n);

}  // namespace rg::fuzz
