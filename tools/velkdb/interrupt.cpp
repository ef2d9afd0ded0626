#include "interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

namespace velkdb {

namespace {

volatile sig_atomic_t g_signal = 0;
int g_deferred = 0;

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::string& outcome() {
  static std::string text = "nothing was changed";
  return text;
}

// Records the first signal; everything else happens where the command
// checks.
extern "C" void recordSignal(int signal) {
  if (g_signal == 0) g_signal = signal;
}

}  // namespace

void installInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = recordSignal;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals) sigaddset(&action.sa_mask, s);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read returns
  for (int s : kSignals) {
    struct sigaction old {};
    // A signal ignored by whoever started us (nohup) stays ignored.
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
}

int pendingSignal() { return g_signal; }

void checkInterrupt() {
  const int signal = g_signal;
  if (signal != 0 && g_deferred == 0) throw Interrupted(signal);
}

DeferInterrupts::DeferInterrupts() { ++g_deferred; }
DeferInterrupts::~DeferInterrupts() { --g_deferred; }

void setInterruptOutcome(const std::string& text) { outcome() = text; }
const std::string& interruptOutcome() { return outcome(); }

void endBySignal(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal);
  _exit(128 + signal);
}

int runInterruptible(const std::function<int()>& command) {
  installInterruptHandlers();
  try {
    return command();
  } catch (...) {
    const int signal = pendingSignal();
    if (signal == 0) throw;
  }
  // The command's transaction, database and scratch files are gone: only
  // now may the signal end the process.
  std::cout.flush();
  std::cerr << "velkdb: interrupted: " << interruptOutcome() << std::endl;
  endBySignal(pendingSignal());
}

void clearInterruptForTest() { g_signal = 0; }

}  // namespace velkdb
