// Runs a test body once per byte-search level this processor offers (the
// portable one always), so that every implementation meets the same cases.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "scan/byte_scan.h"

namespace rg::test {

template <typename Body>
void ForEachByteScanLevel(Body body) {
  for (ByteScanLevel level : {ByteScanLevel::kPortable, ByteScanLevel::kSse2, ByteScanLevel::kAvx2}) {
    if (static_cast<uint32_t>(level) > static_cast<uint32_t>(ByteScanBestLevel())) continue;
    SCOPED_TRACE("byte search level " + std::to_string(static_cast<uint32_t>(level)));
    ByteScanLevel before = SetByteScanLevel(level);
    body();
    SetByteScanLevel(before);
  }
}

}  // namespace rg::test
