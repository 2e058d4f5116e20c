// The connect helper shared by the test clients, called in-process.
#include <gtest/gtest.h>

#include <dirent.h>

#include "harness.h"
#include "prompt_connect.h"

namespace {

int OpenDescriptors() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (readdir(d)) n++;
  closedir(d);
  return n;
}

TEST(ToolsConnect, FailedConnectsLeaveNoSocketBehind) {
  unsigned closed = harness::FreePort();
  int before = OpenDescriptors();
  ASSERT_GT(before, 0);
  for (int i = 0; i < 20; i++) {
    EXPECT_EQ(ConnectToServer("127.0.0.1", (int)closed), -1);
    EXPECT_EQ(ConnectToServer("not an address", 21), -1);
    EXPECT_EQ(ConnectToServer("127.0.0.1", 0), -1);
    EXPECT_EQ(ConnectToServer("127.0.0.1", 70000), -1);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
