// Plan: tracing is off until a sink is installed; a trace scope then writes one entry
// and one exit record for component 8, and nothing is built or written while off.
#include "veltrace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Seen {
  std::string file;
  int line;
  unsigned component;
  unsigned long level;
  std::string text;
};

class VELTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("VEL_TRACE") != nullptr) GTEST_SKIP() << "VEL_TRACE is set in the environment";
  }
  void TearDown() override { VELTrace::getDefault().setSink(VELTrace::Sink()); }
  void record() {
    VELTrace::getDefault().setSink([this](const VELTraceRecord& r) {
      seen.push_back(Seen{r.sourceFile, r.line, r.component, r.level, r.text});
    });
  }
  std::vector<Seen> seen;
};

void tracedOperation() { VEL_TRACE_SCOPE("tracedOperation"); }

TEST_F(VELTraceTest, OffUntilASinkIsSetAndAgainWhenItIsEmptied) {
  EXPECT_FALSE(VELTrace::getDefault().isEnabled());
  tracedOperation();  // and harmless
  {
    VEL_TRACE_SCOPE("opened while off");
    record();  // no exit record for a scope that wrote no entry
  }
  EXPECT_TRUE(seen.empty());
  VELTrace::getDefault().setSink(VELTrace::Sink());
  EXPECT_FALSE(VELTrace::getDefault().isEnabled());
  tracedOperation();
  EXPECT_TRUE(seen.empty());
}

// Entry and exit, the exit also when an exception leaves the scope.
TEST_F(VELTraceTest, ScopeWritesEntryAndExit) {
  record();
  EXPECT_TRUE(VELTrace::getDefault().isEnabled());
  tracedOperation();
  try {
    VEL_TRACE_SCOPE("tracedOperation");
    throw 1;
  } catch (int) {
  }
  ASSERT_EQ(4u, seen.size());
  EXPECT_EQ(VELTraceLevel::kExit, seen[3].level);
  EXPECT_EQ(VELTraceLevel::kEntry, seen[0].level);
  EXPECT_EQ(0x80000000UL, seen[0].level);
  EXPECT_EQ(VELTraceLevel::kExit, seen[1].level);
  EXPECT_EQ(0x40000000UL, seen[1].level);
  for (const Seen& s : seen) {
    EXPECT_EQ(8u, s.component);
    EXPECT_EQ("tracedOperation", s.text);
    EXPECT_NE(std::string::npos, s.file.find("veltrace_test.cpp")) << s.file;
    EXPECT_GT(s.line, 0);
  }
}

TEST_F(VELTraceTest, WriteMacroEvaluatesTextOnlyWhenOn) {
  int built = 0;
  auto text = [&built] {
    ++built;
    return std::string("badRecordIdCount detected");
  };
  VEL_TRACE_WRITE(8, VELTraceLevel::kInfo, text());
  EXPECT_EQ(0, built);
  record();
  VEL_TRACE_WRITE(1, VELTraceLevel::kInfo, text());
  EXPECT_EQ(1, built);
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(1u, seen[0].component);
  EXPECT_EQ(1UL, seen[0].level);
  EXPECT_EQ("badRecordIdCount detected", seen[0].text);
}

TEST_F(VELTraceTest, ThrowingSinkDoesNotEndTheProcessAtScopeExit) {
  int calls = 0;
  VELTrace::getDefault().setSink([&calls](const VELTraceRecord& r) {
    ++calls;
    if (r.level == VELTraceLevel::kExit) throw std::runtime_error("sink failed");
  });
  tracedOperation();
  EXPECT_EQ(2, calls);
}

}  // namespace
