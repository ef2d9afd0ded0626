// lockwait.h -- waiting for a database that another process has open.
//
// A read-write open takes an exclusive lock on each table file, a read-only
// open a shared one; the library refuses an open that meets a conflicting
// lock at once, with 0x8C23A and the lock call's errno as extra number.  So
// that parallel commands queue instead of failing, every open of a database
// goes through `retryWhileLocked`: it repeats the open after a growing pause
// (10 ms doubling to 200 ms, each drawn between half and all of that) until
// it succeeds, fails otherwise, or the wait set with `setLockWait` (the
// `--wait SECONDS` option, 5 seconds by default) is over.
//
// The library also answers 0x8C23A, without an extra number, when a
// read-only open finds a journal beside a table: a change is under way or
// was interrupted.  Which of the two it is shows by trying: a writer that
// is alive holds the write lock on its table file, and one that has just
// committed has taken its journal away.  Only then is it waited for; an
// interrupted change needs one read-write open, and waiting would not
// bring it.
#ifndef VELKDB_LOCKWAIT_H
#define VELKDB_LOCKWAIT_H

#include <functional>
#include <string>
#include <vector>

#include "velexception.h"

namespace velkdb {

// The longest wait for a lock, in seconds (0: fail at once).
void setLockWait(double seconds);
double lockWait();
// A --wait value: seconds, a decimal number from 0 to 86400.  Throws
// UsageError.
double parseLockWait(const std::string& text);

// The pause before retry number `attempt` (0 for the first) given a random
// fraction `jitter` in [0, 1): between half and all of 10 ms * 2^attempt,
// at most 200 ms.
unsigned lockBackoffMillis(unsigned attempt, double jitter);

// True when another process holds a write lock on `path` (byte 0, where
// the library locks); false when not, or when it cannot be told.
bool writeLockedByOther(const std::string& path);

// True when `e` is a refusal that goes away once another process lets go:
// the lock refused by the system, or a journal of a change that a live
// writer of one of `tableFiles` is making.
bool isLockContention(const VELException& e, const std::vector<std::string>& tableFiles);

// Runs `attempt` until it returns, throws something other than lock
// contention, or the wait is over; then the last refusal is thrown with the
// time waited added to its message.
void retryWhileLocked(const std::vector<std::string>& tableFiles, const std::function<void()>& attempt);

}  // namespace velkdb

#endif
