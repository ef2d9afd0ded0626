// Plan: the library registers itself at load: the entry "velfiledb" creates managers through
// the companion library, refuses a null argument, and the module knows where it was loaded.
#include "dbfileglobal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <sstream>

#include "filedbmanager.h"
#include "filedbstorage.h"
#include "velexception.h"
#include "vellibrarymanager.h"
#include "veltestutil.h"

namespace {

TEST(DBFileGlobal, RegisteredOnceAtLoad) {
  EXPECT_EQ(1u, DBFileGlobal::useCount());
  EXPECT_GE(VELCMSGlobal::useCount(), 1u);
  EXPECT_EQ(&DBFileGlobal::libraryFunction, VELLibraryManager::findLibEntry("velfiledb"));
}

TEST(DBFileGlobal, LibraryFunctionRefusesNull) {
  try {
    DBFileGlobal::libraryFunction(nullptr);
    FAIL() << "no exception";
  } catch (const VELDBException& e) {
    EXPECT_EQ(VELDBError::kBadArgument, e.getError());
    EXPECT_EQ("args cannot be NULL", e.getMessage());
  }
}

TEST(DBFileGlobal, CreatesManagersThroughTheLibraryManager) {
  const VELTestUtil::TempDir dir("dbfileglobal");
  const VELString base = dir.file("db");
  VELDBConnectInfo::FILE open(base, VELPasswordEncryptor(), VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite);
  try {
    VELLibraryManager::createObject("velfiledb", &open);
    FAIL() << "no exception";
  } catch (const VELDBException& e) {
    EXPECT_EQ(VELDBError::kCannotOpen, e.getError());
  }
  VELDBConnectInfo::FILE create(base, VELPasswordEncryptor(), VELDBConnectInfo::Create, VELDBConnectInfo::ReadWrite);
  std::unique_ptr<VELDBManager> m(static_cast<VELDBManager*>(VELLibraryManager::createObject("velfiledb", &create)));
  EXPECT_TRUE(m->isKindOf("FileDBManager"));
  EXPECT_TRUE(m->isCRLEnabled());
  m->deleteDBOnDisconnect();
  m.reset();
  EXPECT_NE(0, ::access((base + ".vkey").c_str(), F_OK));
}

TEST(DBFileGlobal, ModuleLocationIsKnownOnlyUnderItsFileName) {
  // Built versioned or not, the library this test links is found.
  const VELString location = DBFileGlobal::moduleLocation();
  const VELString name = "libvelfiledb_64.so";
  ASSERT_EQ('/', location.empty() ? '?' : location[0]) << location;
  EXPECT_NE(VELString::npos, location.find("/" + name)) << location;
  EXPECT_EQ(location, DBFileGlobal::locationText(location));

  EXPECT_EQ("/opt/lib/libvelfiledb_64.so.1", DBFileGlobal::locationOf("/opt/lib/libvelfiledb_64.so.1"));
  EXPECT_EQ("/opt/lib/libvelfiledb_64.so.1.0.0", DBFileGlobal::locationOf("/opt/lib/libvelfiledb_64.so.1.0.0"));
  EXPECT_EQ("", DBFileGlobal::locationOf("/opt/lib/libvelfiledb_64.so.old"));
  EXPECT_EQ("", DBFileGlobal::locationOf("/opt/lib/libvelfiledb_64.so."));
  EXPECT_EQ("", DBFileGlobal::locationOf("/opt/lib/libvelfiledb_64.so.1..2"));
  EXPECT_EQ("", DBFileGlobal::locationOf("/opt/lib/libother.so"));
  EXPECT_EQ("", DBFileGlobal::locationOf(nullptr));
  EXPECT_EQ("Could not determine where DBFile loaded from", DBFileGlobal::locationText(""));
}

TEST(DBFileGlobal, BuildInformationHasElevenWhatLines) {
  EXPECT_GT(std::strlen(velfdb_Copyright), 0u);
  EXPECT_EQ(nullptr, std::strchr(velfdb_Copyright, '\n'));
  std::istringstream in(velfdb_SCCSInfo);
  int lines = 0;
  for (VELString line; std::getline(in, line); ++lines) {
    EXPECT_EQ(0u, line.find("@(#)")) << line;
    const std::size_t colon = line.find(": ");
    EXPECT_NE(VELString::npos, colon) << line;
    EXPECT_GT(colon, 4u) << line;
    EXPECT_LT(colon + 2, line.size()) << line;
  }
  EXPECT_EQ(11, lines);
}

}  // namespace
