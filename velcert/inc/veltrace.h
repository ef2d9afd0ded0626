// veltrace.h -- diagnostic trace of the companion library.
//
// Off by default.  `VEL_TRACE=stderr` or `VEL_TRACE=/path/file` turns it on at
// start-up; tests may install a sink.  When off, a trace scope costs one
// relaxed atomic load.  Each record carries source file, line, component,
// level and text.  The mutex inside guards only the sink.
#ifndef VELCERT_VELTRACE_H
#define VELCERT_VELTRACE_H

#include <atomic>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>

namespace VELTraceLevel {
constexpr unsigned long kEntry = 0x80000000UL;
constexpr unsigned long kExit = 0x40000000UL;
constexpr unsigned long kError = 2;
constexpr unsigned long kInfo = 1;
}  // namespace VELTraceLevel

struct VELTraceRecord {
  const char* sourceFile;
  int line;
  unsigned component;
  unsigned long level;
  const std::string& text;
};

class VELTrace {
 public:
  using Sink = std::function<void(const VELTraceRecord&)>;

  // The process-wide trace object, configured from `VEL_TRACE` on first use.
  static VELTrace& getDefault();

  // ACCESSORS
  bool isEnabled() const { return d_enabled.load(std::memory_order_relaxed); }

  // MANIPULATORS
  void write(const char* sourceFile, int line, unsigned component, unsigned long level,
             const std::string& text);
  // Installs `sink` and turns tracing on; an empty sink turns it off.
  void setSink(Sink sink);

 private:
  VELTrace();
  // DATA
  std::atomic<bool> d_enabled{false};
  std::mutex d_mutex;
  Sink d_sink;
};

// Writes an entry record on construction and an exit record on destruction,
// both only when tracing is on.
class VELTraceSentry {
 public:
  VELTraceSentry(const char* sourceFile, int line, unsigned component, const char* name) {
    if (VELTrace::getDefault().isEnabled()) {
      d_sourceFile = sourceFile;
      d_line = line;
      d_component = component;
      d_name = name;
      VELTrace::getDefault().write(sourceFile, line, component, VELTraceLevel::kEntry, name);
    }
  }
  ~VELTraceSentry() {
    if (d_name != nullptr && VELTrace::getDefault().isEnabled()) {
      // A failing sink must not end the process from a destructor.
      try {
        VELTrace::getDefault().write(d_sourceFile, d_line, d_component, VELTraceLevel::kExit, d_name);
      } catch (...) {
      }
    }
  }
  VELTraceSentry(const VELTraceSentry&) = delete;
  VELTraceSentry& operator=(const VELTraceSentry&) = delete;

 private:
  const char* d_sourceFile = nullptr;
  int d_line = 0;
  unsigned d_component = 0;
  const char* d_name = nullptr;
};

#define VEL_TRACE_CAT2(a, b) a##b
#define VEL_TRACE_CAT(a, b) VEL_TRACE_CAT2(a, b)
// Opens a trace scope named `name` (a string literal) for the database component.
#define VEL_TRACE_SCOPE(name) VELTraceSentry VEL_TRACE_CAT(velTraceSentry_, __LINE__)(__FILE__, __LINE__, 8, name)
// Writes one record when tracing is on; `text` is evaluated only then.
#define VEL_TRACE_WRITE(component, level, text)                                          \
  do {                                                                                  \
    if (VELTrace::getDefault().isEnabled())                                             \
      VELTrace::getDefault().write(__FILE__, __LINE__, (component), (level), (text));   \
  } while (0)

#endif
