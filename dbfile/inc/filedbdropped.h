// filedbdropped.h -- failures that nobody can be told about.
//
// A destructor, or the clean-up after an earlier failure that is already
// on its way to the caller, cannot pass a second failure on.  Such code
// catches everything and calls `FileDBDropped::trace()` in the handler, so
// that what was dropped is at least in the trace.
#ifndef DBFILE_FILEDBDROPPED_H
#define DBFILE_FILEDBDROPPED_H

#include <exception>

#include "velexception.h"
#include "veltrace.h"

namespace FileDBDropped {

// Writes the exception being handled to the trace; call only inside a
// handler.  Never throws.
inline void trace() noexcept {
  try {
    try {
      throw;
    } catch (const VELException& e) {
      e.writeToTrace();
    } catch (const std::exception& e) {
      VEL_TRACE_WRITE(8, VELTraceLevel::kError, VELString("dropped: ") + e.what());
    } catch (...) {
      VEL_TRACE_WRITE(8, VELTraceLevel::kError, "dropped: an exception of unknown type");
    }
  } catch (...) {
    // Writing the trace failed itself (out of memory): there is no one
    // left to tell.
  }
}

}  // namespace FileDBDropped

#endif
