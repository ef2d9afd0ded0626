// background.h -- the second thread velkdb uses to decode or format while
// the first reads or writes.  The library starts no threads; velkdb starts
// at most one at a time, for work that only decodes, digests or formats
// and touches neither the database nor standard output.
#ifndef VELKDB_BACKGROUND_H
#define VELKDB_BACKGROUND_H

#include <functional>
#include <thread>

namespace velkdb {

// Starts `work` in a new thread that never takes SIGINT, SIGTERM or SIGHUP:
// they stay with the main thread, whose blocking calls they must cut short
// (see interrupt.h).
std::thread startBackgroundThread(std::function<void()> work);

}  // namespace velkdb

#endif
