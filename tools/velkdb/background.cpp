#include "background.h"

#include <signal.h>

#include <utility>

namespace velkdb {

std::thread startBackgroundThread(std::function<void()> work) {
  // A new thread inherits the signal mask of the thread that starts it.
  sigset_t blocked, old;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &blocked, &old);
  struct Restore {
    sigset_t mask;
    ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{old};
  return std::thread(std::move(work));
}

}  // namespace velkdb
