// Plan: an exception keeps file, line, number, message and extra number and says them
// in what(); caught, it writes itself to the trace only when tracing is on.
#include "velexception.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "veltrace.h"

namespace {

struct Seen {
  std::string file;
  unsigned component;
  unsigned long level;
  std::string text;
};

// Records what reaches the default trace while it lives; tracing ends with it.
class TraceRecorder {
 public:
  TraceRecorder() {
    VELTrace::getDefault().setSink([this](const VELTraceRecord& r) {
      d_seen.push_back(Seen{r.sourceFile, r.component, r.level, r.text});
    });
  }
  ~TraceRecorder() { VELTrace::getDefault().setSink(VELTrace::Sink()); }
  const std::vector<Seen>& seen() const { return d_seen; }

 private:
  std::vector<Seen> d_seen;
};

TEST(VELExceptionTest, WhatCarriesHexNumberMessageAndExtra) {
  try {
    VELDB_THROW_EXTRA(VELDBError::kRead, "vel_read-/db/x.vkey", 37);
  } catch (const VELException& e) {
    const std::string what = e.what();
    EXPECT_NE(std::string::npos, what.find("0x8C238")) << what;
    EXPECT_NE(std::string::npos, what.find("vel_read-/db/x.vkey")) << what;
    EXPECT_NE(std::string::npos, what.find("37")) << what;
    EXPECT_EQ(VELDBError::kRead, e.getError());
    EXPECT_TRUE(e.hasExtra());
    EXPECT_EQ(37, e.getExtra());
    EXPECT_EQ("vel_read-/db/x.vkey", e.getMessage());
    EXPECT_NE(std::string::npos, e.getSourceFile().find("velexception_test")) << e.getSourceFile();
    EXPECT_GT(e.getLine(), 0);
    return;
  }
  FAIL() << "not thrown";
}

TEST(VELExceptionTest, WithoutExtraTheNumberStandsAloneAndANegativeExtraIsKept) {
  const VELDBException e("dbfile/src/filedbmanager", 12, VELDBError::kNotOpen);
  EXPECT_FALSE(e.hasExtra());
  EXPECT_TRUE(e.getMessage().empty());
  const std::string what = e.what();
  EXPECT_NE(std::string::npos, what.find("0x8C232")) << what;
  EXPECT_EQ(std::string::npos, what.find('(')) << what;
  EXPECT_NE(std::string::npos, what.find("dbfile/src/filedbmanager:12")) << what;
  const VELDBException negative("f", 1, VELDBError::kLock, "open", -1);
  EXPECT_EQ(-1, negative.getExtra());
  EXPECT_NE(std::string::npos, std::string(negative.what()).find("-1"));
}

TEST(VELExceptionTest, WritesItselfToTheTrace) {
  const VELDBException e("dbfile/src/filedbstorage", 99, VELDBError::kHashMismatch, "hash", 5);
  e.writeToTrace();  // tracing off: nothing to see, nothing breaks
  TraceRecorder recorder;
  e.writeToTrace();
  ASSERT_EQ(1u, recorder.seen().size());
  const Seen& s = recorder.seen()[0];
  EXPECT_EQ("dbfile/src/filedbstorage", s.file);
  EXPECT_EQ(8u, s.component);
  EXPECT_EQ(VELTraceLevel::kError, s.level);
  EXPECT_NE(std::string::npos, s.text.find("VELDBException")) << s.text;
  EXPECT_NE(std::string::npos, s.text.find("0x8C243")) << s.text;
  EXPECT_NE(std::string::npos, s.text.find("hash")) << s.text;
  e.writeToTrace(1);
  ASSERT_EQ(2u, recorder.seen().size());
  EXPECT_EQ(1u, recorder.seen()[1].component);
}

}  // namespace
