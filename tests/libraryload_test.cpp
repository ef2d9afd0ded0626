// Plan: a program linked only against the companion library reaches the database through
// the library manager, which loads libvelfiledb_64.so from beside libvelcert_64.so.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "veldbconnectinfo.h"
#include "veldbmanager.h"
#include "velexception.h"
#include "vellibrarymanager.h"
#include "veltestpki.h"
#include "veltestutil.h"

namespace {

TEST(LibraryLoad, ManagerThroughTheLibraryManagerOnly) {
  // Not loaded before the first request.
  EXPECT_EQ(nullptr, VELLibraryManager::findLibEntry("velfiledb"));

  const VELTestUtil::TempDir dir("libraryload");
  const VELString base = dir.file("db");
  VELDBConnectInfo::FILE info(base, VELPasswordEncryptor("pw", 2), VELDBConnectInfo::CreateV4,
                              VELDBConnectInfo::ReadWrite);
  std::unique_ptr<VELDBManager> m(static_cast<VELDBManager*>(VELLibraryManager::createObject("velfiledb", &info)));
  ASSERT_NE(nullptr, m);
  EXPECT_NE(nullptr, VELLibraryManager::findLibEntry("velfiledb"));
  EXPECT_TRUE(m->isKindOf("FileDBManager"));
  EXPECT_EQ(4, m->getDBVersion());

  auto record = VELTestPKI::makeKeyRecord("server", "CN=server.example");
  m->insertKey(*record);
  std::unique_ptr<VELASNKeyRecord> found(m->getKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("server")));
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(record->write(), found->write());

  std::unique_ptr<VELDBManager> dup(m->duplicate());
  std::unique_ptr<VELDBIterator> it(dup->getKeyIterator());
  int seen = 0;
  while (std::unique_ptr<VELASNKeyRecord> r{dup->getKeyNextRecord(*it)}) ++seen;
  EXPECT_EQ(1, seen);
  dup.reset();

  m->deleteDBOnDisconnect();
  m.reset();
  EXPECT_NE(0, ::access((base + ".vkey").c_str(), F_OK));
}

}  // namespace
