// veltestutil.h -- small helpers that many tests share.
#ifndef TESTSUPPORT_VELTESTUTIL_H
#define TESTSUPPORT_VELTESTUTIL_H

#include <fstream>
#include <iterator>
#include <string>

#include "velexception.h"

namespace VELTestUtil {

// The error number of the `VELDBException` that `body` throws, or 0.
template <typename F>
unsigned long errorOf(F&& body) {
  try {
    body();
  } catch (const VELDBException& e) {
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

}  // namespace VELTestUtil

#endif
