// A whole life of the filter: load the example policy, serve every example
// request on kept-alive connections in several chunkings, in blocking and in
// Simulate mode, end the connections and stop. Afterwards nothing the filter
// allocated may be left, and no file may stay open; under the address
// sanitizer the leak checker sees the same cycle at exit.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_host.h"

namespace rg::test {
namespace {

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

std::vector<std::string> ExampleRequests() {
  std::vector<std::string> files;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(RG_SOURCE_DIR) + "/examples/requests"))
    if (entry.path().extension() == ".http") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

TEST(Lifecycle, LoadServeAndStopLeavesNothingBehind) {
  const std::string policy = ReadTextFile(std::string(RG_SOURCE_DIR) + "/examples/Ravelgard.ini");
  ASSERT_FALSE(policy.empty());
  const std::vector<std::string> requests = ExampleRequests();
  ASSERT_GE(requests.size(), 10u);

  struct Mode {
    const char* name;
    std::string ini;
    size_t chunk;  // 0: each file in one chunk
  };
  // Simulate=1 put before the file's own line wins: the first key counts.
  std::string simulated = policy;
  simulated.replace(simulated.find("[Globals]"), 9, "[Globals]\nSimulate=1");
  const std::vector<Mode> modes = {
      {"blocking, whole", policy, 0},
      {"blocking, 1-byte chunks", policy, 1},
      {"simulate, 7-byte chunks", simulated, 7},
  };
  for (const Mode& mode : modes) {
    SCOPED_TRACE(mode.name);
    int64_t blocksBefore = LiveBlockCount();
    int descriptorsBefore = OpenDescriptors();
    {
      FilterHost host;
      BindLinkedCore(&host, mode.ini);
      uint32_t error = 0;
      ASSERT_TRUE(StartHost(&host, &error)) << "last error " << error;
      int blocked = 0;
      for (const std::string& file : requests) {
        const std::string bytes = ReadTextFile(file);
        HostConnection connection;
        OpenConnection(&host, &connection);
        size_t step = mode.chunk == 0 ? bytes.size() : mode.chunk;
        DWORD result = SF_STATUS_REQ_NEXT_NOTIFICATION;
        for (size_t at = 0; at < bytes.size() && result != SF_STATUS_REQ_FINISHED; at += step)
          result = SendChunk(&connection, std::string_view(bytes).substr(at, step));
        if (result == SF_STATUS_REQ_FINISHED) {
          ++blocked;
        } else {
          SendResponse(&connection, 200);
          SendChunk(&connection, kAllowedRequest);  // the next request on the connection
        }
        EndConnection(&connection);
      }
      if (mode.ini == policy) {
        EXPECT_GT(blocked, 0) << "the hostile examples are blocked";
      } else {
        EXPECT_EQ(blocked, 0) << "Simulate mode lets every policy refusal through";
      }
      EXPECT_FALSE(RecordLines(ReadLogs(host)).empty());
      StopHost(&host);
    }
    EXPECT_EQ(LiveBlockCount(), blocksBefore) << "blocks left allocated";
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore) << "files left open";
  }
}

}  // namespace
}  // namespace rg::test
