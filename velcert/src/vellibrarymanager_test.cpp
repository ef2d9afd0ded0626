// Plan: entries are added, found, called and removed by function; an entry that no
// loadable module provides, or a name that is not a module name, fails clearly.
#include "vellibrarymanager.h"

#include <gtest/gtest.h>

#include <string>

#include "velexception.h"

namespace {

void* echo(void* args) { return args; }
void* other(void*) { return nullptr; }

// Removes the test's entries whatever the test did.
class VELLibraryManagerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    VELLibraryManager::removeLibEntries(&echo);
    VELLibraryManager::removeLibEntries(&other);
  }
};

TEST_F(VELLibraryManagerTest, AddFindCallRemoveEveryEntryOfTheFunction) {
  EXPECT_EQ(nullptr, VELLibraryManager::findLibEntry("veltest-echo"));
  VELLibraryManager::addLibEntry("veltest-echo", &echo);
  EXPECT_EQ(&echo, VELLibraryManager::findLibEntry("veltest-echo"));
  int value = 7;
  EXPECT_EQ(&value, VELLibraryManager::createObject("veltest-echo", &value));
  // Removing takes every entry of the function, and only those.
  VELLibraryManager::addLibEntry("veltest-b", &echo);
  VELLibraryManager::addLibEntry("veltest-c", &other);
  VELLibraryManager::removeLibEntries(&echo);
  EXPECT_EQ(nullptr, VELLibraryManager::findLibEntry("veltest-echo"));
  EXPECT_EQ(nullptr, VELLibraryManager::findLibEntry("veltest-b"));
  EXPECT_EQ(&other, VELLibraryManager::findLibEntry("veltest-c"));
}

TEST_F(VELLibraryManagerTest, UnknownEntryWithoutModuleFailsClearly) {
  try {
    VELLibraryManager::createObject("veltest_nosuchmodule", nullptr);
    FAIL() << "no exception";
  } catch (const VELDBException& e) {
    EXPECT_EQ(VELDBError::kBadArgument, e.getError());
    EXPECT_NE(std::string::npos, e.getMessage().find("veltest_nosuchmodule")) << e.getMessage();
  }
}

TEST_F(VELLibraryManagerTest, NameThatIsAPathIsRefusedBeforeLoading) {
  for (const char* name : {"../evil", "/tmp/x", "", "a b"}) {
    try {
      VELLibraryManager::createObject(name, nullptr);
      FAIL() << "accepted " << name;
    } catch (const VELDBException& e) {
      EXPECT_EQ(VELDBError::kBadArgument, e.getError()) << name;
      EXPECT_NE(std::string::npos, e.getMessage().find("not a module name")) << e.getMessage();
    }
  }
}

}  // namespace
