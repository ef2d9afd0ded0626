// veltestutil.h -- small helpers that many tests share: error numbers of a
// call, whole-file reads and writes, passwords from text and a temporary
// directory that is removed with what is left in it.
#ifndef TESTSUPPORT_VELTESTUTIL_H
#define TESTSUPPORT_VELTESTUTIL_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "velexception.h"
#include "velpassword.h"

namespace VELTestUtil {

// The error number of the `VELDBException` that `body` throws, or 0; its
// message goes to `message` when one is asked for.
template <typename F>
unsigned long errorOf(F&& body, std::string* message = nullptr) {
  try {
    body();
  } catch (const VELDBException& e) {
    if (message != nullptr) *message = e.getMessage();
    return e.getError();
  }
  return 0;
}

inline std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The size of the file at `path`, or -1 when there is none.
inline long long fileSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return in ? static_cast<long long>(in.tellg()) : -1;
}

inline VELPasswordEncryptor password(const char* text) { return VELPasswordEncryptor(text, std::strlen(text)); }

// A fresh directory in the temporary area (its real path, links resolved),
// removed with everything in it when this goes.  Throws when none can be
// made, which fails the test that wanted it.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "veltest") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
      throw std::runtime_error("cannot make a directory like " + pattern + ": " + std::strerror(errno));
    }
    d_path = std::filesystem::canonical(name.data()).string();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(d_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return d_path; }
  // The path of `name` in the directory.
  std::string file(const std::string& name) const { return d_path + "/" + name; }

 private:
  std::string d_path;
};

// A fixture with a temporary directory `d_dir` and the base name `d_base` of
// a database in it (its tables are `d_base` with ".vkey", ".vkyp" and
// ".vcrl"); the directory goes after TearDown with all that is in it.
template <class BASE = ::testing::Test>
class TempDirTest : public BASE {
 protected:
  TempDir d_tmp;
  std::string d_dir = d_tmp.path();
  std::string d_base = d_dir + "/db";
};

}  // namespace VELTestUtil

#endif
