#include "veltrace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Writes records as lines to a C stream that lives as long as the process.
VELTrace::Sink streamSink(std::FILE* stream) {
  return [stream](const VELTraceRecord& r) {
    std::fprintf(stream, "%s:%d c%u l0x%lX %s\n", r.sourceFile, r.line, r.component, r.level, r.text.c_str());
    std::fflush(stream);
  };
}

}  // namespace

VELTrace::VELTrace() {
  const char* where = std::getenv("VEL_TRACE");
  if (where == nullptr || *where == '\0') return;
  if (std::strcmp(where, "stderr") == 0) {
    setSink(streamSink(stderr));
    return;
  }
  std::FILE* f = std::fopen(where, "ae");
  if (f != nullptr) setSink(streamSink(f));
}

VELTrace& VELTrace::getDefault() {
  // Never destroyed, so that static destructors of other objects may trace.
  static VELTrace* trace = new VELTrace();
  return *trace;
}

void VELTrace::write(const char* sourceFile, int line, unsigned component, unsigned long level,
                     const std::string& text) {
  std::lock_guard<std::mutex> guard(d_mutex);
  if (!d_sink) return;
  VELTraceRecord record{sourceFile ? sourceFile : "", line, component, level, text};
  d_sink(record);
}

void VELTrace::setSink(Sink sink) {
  std::lock_guard<std::mutex> guard(d_mutex);
  d_sink = std::move(sink);
  d_enabled.store(static_cast<bool>(d_sink), std::memory_order_relaxed);
}
