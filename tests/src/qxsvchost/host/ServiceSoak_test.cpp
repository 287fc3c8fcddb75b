// ctest-lock: controlmanager-class
// A leak is a fault: a few hundred start/stop cycles of one hosted service through the dispatcher
// seam leave the process's handle count where it was after the first hundred.
#include <gtest/gtest.h>
#include <windows.h>

#include "QxHostSoak.h"

TEST(ServiceSoakTest, RepeatedStartsAndStopsLeakNoHandles) {
  qxhosttest::ScratchHost scratch(L"QxSoak");
  ASSERT_TRUE(scratch.ok());
  const qxhosttest::SoakResult soak = qxhosttest::RunSoak(scratch, 300, 100);
  EXPECT_EQ(0u, soak.exitCode);
  ASSERT_EQ(300, soak.cycles);
  ASSERT_NE(0u, soak.afterFirst.handles);
  // A leak of one handle per cycle would add 200; the slack is for handles the system caches.
  EXPECT_LE(soak.afterLast.handles, soak.afterFirst.handles + 5)
      << "after 100 cycles " << soak.afterFirst.handles << ", after 300 " << soak.afterLast.handles;
  std::printf("soak: %d cycles in %.1f s, handles %lu -> %lu, working set %zu -> %zu\n",
              soak.cycles, soak.seconds, soak.afterFirst.handles, soak.afterLast.handles,
              soak.afterFirst.workingSet, soak.afterLast.workingSet);
}
