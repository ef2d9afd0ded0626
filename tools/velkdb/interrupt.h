// interrupt.h -- stopping a command cleanly on SIGINT, SIGTERM or SIGHUP.
//
// A signal must not leave a change half made, a journal beside the
// database or a scratch directory in $TMPDIR.  So the handler only records
// which signal came (the first one); the command's loops call
// `checkInterrupt`, which throws `Interrupted`, and that throw unwinds
// through the transaction guard (which rolls the change back), the
// database (which closes) and the scratch directories (which go).  main
// then prints one line, "velkdb: interrupted: nothing was changed", and
// ends the process by the same signal (status 128 + its number), so that a
// calling shell sees how it ended.  The handlers stay installed until then:
// a second Ctrl-C during the roll-back is recorded and does nothing else.
//
// Blocking calls are not restarted after a signal (no SA_RESTART): a
// password prompt returns at once and a read of standard input checks
// the flag.  The library retries its own reads and writes on EINTR.
#ifndef VELKDB_INTERRUPT_H
#define VELKDB_INTERRUPT_H

#include <exception>
#include <functional>
#include <string>

namespace velkdb {

// Thrown by `checkInterrupt`: deliberately no VELException, so that no
// handler for the library's errors takes it for one.
class Interrupted : public std::exception {
 public:
  // CREATORS
  explicit Interrupted(int signal) : d_signal(signal) {}

  // ACCESSORS
  int signal() const { return d_signal; }
  const char* what() const noexcept override { return "interrupted"; }

 private:
  // DATA
  int d_signal;
};

// Installs the recording handler for SIGINT, SIGTERM and SIGHUP.
void installInterruptHandlers();

// The first signal recorded, 0 when none came.
int pendingSignal();

// Throws `Interrupted` when a signal was recorded, except while a
// `DeferInterrupts` lives.
void checkInterrupt();

// From a change's point of no return (a committed step that the following
// ones complete) to the end of the command, signals are recorded but stop
// nothing: finishing is what leaves the database sound.
class DeferInterrupts {
 public:
  // CREATORS
  DeferInterrupts();
  DeferInterrupts(const DeferInterrupts&) = delete;
  DeferInterrupts& operator=(const DeferInterrupts&) = delete;
  ~DeferInterrupts();
};

// What an interrupted command says after "interrupted: "; "nothing was
// changed" unless the command sets it.
void setInterruptOutcome(const std::string& text);
const std::string& interruptOutcome();

// Installs the handlers and runs `command`.  Whatever it throws after a
// signal came (`Interrupted`, or the error of a call the signal cut short)
// has unwound by then: the line "velkdb: interrupted: OUTCOME" is printed
// and the process ends by the signal.  Anything else is thrown on.
int runInterruptible(const std::function<int()>& command);

// Restores the default action of `signal` and raises it again; exits with
// 128 + `signal` should the process survive that.
[[noreturn]] void endBySignal(int signal);

// Test hook: forgets a recorded signal.
void clearInterruptForTest();

}  // namespace velkdb

#endif
