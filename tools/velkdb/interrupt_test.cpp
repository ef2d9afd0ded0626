// Plan: a real signal is recorded and stops the next check (the first one
// counts, a deferral holds it back), and a command that unwinds after one
// ends the process by that signal.
#include "interrupt.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <stdexcept>

#include "velexception.h"

using namespace velkdb;

namespace {

class InterruptTest : public ::testing::Test {
 protected:
  void SetUp() override { installInterruptHandlers(); }
  void TearDown() override {
    clearInterruptForTest();
    for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
  }
};

TEST_F(InterruptTest, TheFirstSignalStopsTheNextCheckUnlessDeferred) {
  EXPECT_NO_THROW(checkInterrupt());
  raise(SIGTERM);
  raise(SIGINT);  // a second signal changes nothing
  EXPECT_EQ(pendingSignal(), SIGTERM);
  {
    const DeferInterrupts finishing;
    EXPECT_NO_THROW(checkInterrupt());
  }
  try {
    checkInterrupt();
    FAIL() << "no Interrupted";
  } catch (const Interrupted& e) {
    EXPECT_EQ(e.signal(), SIGTERM);
  }
}

TEST_F(InterruptTest, WithoutASignalTheCommandsResultAndErrorsPassThrough) {
  EXPECT_EQ(runInterruptible([] { return 7; }), 7);
  EXPECT_THROW(runInterruptible([]() -> int { throw std::runtime_error("plain"); }), std::runtime_error);
}

TEST_F(InterruptTest, AfterASignalAnyUnwindingEndsTheProcessByIt) {
  // Whether the check threw or a call the signal cut short failed.
  EXPECT_EXIT(runInterruptible([]() -> int {
                setInterruptOutcome("nothing was imported");
                raise(SIGINT);
                checkInterrupt();
                return 0;
              }),
              ::testing::KilledBySignal(SIGINT), "velkdb: interrupted: nothing was imported");
  EXPECT_EXIT(runInterruptible([]() -> int {
                raise(SIGHUP);
                throw VELDBException(__FILE__, __LINE__, VELDBError::kRead, "vel_read-x", EINTR);
              }),
              ::testing::KilledBySignal(SIGHUP), "velkdb: interrupted: nothing was changed");
}

}  // namespace
