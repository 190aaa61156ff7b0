// The environment's test hooks work in a build made for tests and nowhere else. This file is
// built twice: with the hooks (PX550_EXPECT_HOOKS=1) and as a shipped program is (=0).
#include <gtest/gtest.h>
#include <stdlib.h>

#include "cli/test_hooks.h"

namespace px::cli {
namespace {

TEST(CliTestHooks, OnlyTestBuildsListenToTheEnvironment) {
  setenv("PX550_TEST_TIMING_SCALE", "0.01", 1);
  setenv("PX550_SYSFS_ROOT", "/tmp/fixture-sys", 1);
  setenv("PX550_DEV_ROOT", "/tmp/fixture-dev", 1);
  const EngineTiming t = TimingFromEnvironment();
  std::string sys;
  std::string dev;
  const bool roots = PortRootsFromEnvironment(sys, dev);
#if PX550_EXPECT_HOOKS
  EXPECT_EQ(t.replyWaitMs, 50u);
  EXPECT_EQ(t.eraseBytesPerMs, 3300u);
  EXPECT_TRUE(roots);
  EXPECT_EQ(sys, "/tmp/fixture-sys");
  EXPECT_EQ(dev, "/tmp/fixture-dev");
#else
  EXPECT_EQ(t.replyWaitMs, EngineTiming{}.replyWaitMs);
  EXPECT_EQ(t.eraseBytesPerMs, EngineTiming{}.eraseBytesPerMs);
  EXPECT_EQ(t.eraseExtraMs, EngineTiming{}.eraseExtraMs);
  EXPECT_FALSE(roots);
#endif
}

}  // namespace
}  // namespace px::cli
