#include "velexception.h"

#include <cstdio>

#include "veltrace.h"

VELException::VELException(const char* sourceFile, int line, unsigned long error, VELString message)
    : d_sourceFile(sourceFile ? sourceFile : ""),
      d_line(line),
      d_error(error),
      d_message(std::move(message)),
      d_hasExtra(false),
      d_extra(0) {
  format();
}

VELException::VELException(const char* sourceFile, int line, unsigned long error, VELString message,
                           long long extra)
    : d_sourceFile(sourceFile ? sourceFile : ""),
      d_line(line),
      d_error(error),
      d_message(std::move(message)),
      d_hasExtra(true),
      d_extra(extra) {
  format();
}

void VELException::format() {
  char head[64];
  std::snprintf(head, sizeof head, "error 0x%lX", d_error);
  d_what = head;
  if (!d_message.empty()) {
    d_what += ": ";
    d_what += d_message;
  }
  if (d_hasExtra) {
    d_what += " (" + std::to_string(d_extra) + ")";
  }
  d_what += " [" + d_sourceFile + ":" + std::to_string(d_line) + "]";
}

void VELException::writeToTrace(unsigned component) const {
  if (!VELTrace::getDefault().isEnabled()) return;
  VELTrace::getDefault().write(d_sourceFile.c_str(), d_line, component, VELTraceLevel::kError,
                               VELString(getClassName()) + " " + d_what);
}

VELDBException::VELDBException(const char* sourceFile, int line, unsigned long error, VELString message)
    : VELException(sourceFile, line, error, std::move(message)) {}

VELDBException::VELDBException(const char* sourceFile, int line, unsigned long error, VELString message,
                               long long extra)
    : VELException(sourceFile, line, error, std::move(message), extra) {}
