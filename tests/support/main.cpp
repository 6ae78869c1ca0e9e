// Test main: every test starts on a freshly reset host and fails when it
// leaves pool blocks, open registry handles or violations behind.
#include <gtest/gtest.h>

#include <host/api/host.h>

namespace {

class HostChecks : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { host::Reset(); }

  // Runs before the result printer sees the test, so failures added here count.
  void OnTestEnd(const ::testing::TestInfo&) override {
    const std::string leaks = host::pool::LeakReport();
    if (!leaks.empty()) ADD_FAILURE() << "pool blocks left behind:\n" << leaks;
    if (host::reg::OpenHandles() != 0)
      ADD_FAILURE() << host::reg::OpenHandles() << " registry handle(s) not closed";
    if (host::io::ActiveWorkItems() != 0)
      ADD_FAILURE() << host::io::ActiveWorkItems() << " work item(s) still queued or running";
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new HostChecks);
  return RUN_ALL_TESTS();
}
