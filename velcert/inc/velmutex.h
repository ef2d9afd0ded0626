// velmutex.h -- recursive mutex and scoped locker of the companion library.
#ifndef VELCERT_VELMUTEX_H
#define VELCERT_VELMUTEX_H

#include <mutex>

class VELMutex {
 public:
  VELMutex() = default;
  VELMutex(const VELMutex&) = delete;
  VELMutex& operator=(const VELMutex&) = delete;
  void lock() { d_mutex.lock(); }
  void unlock() { d_mutex.unlock(); }
  bool tryLock() { return d_mutex.try_lock(); }

 private:
  std::recursive_mutex d_mutex;
};

class VELMutexLocker {
 public:
  explicit VELMutexLocker(VELMutex& mutex) : d_mutex(mutex) { d_mutex.lock(); }
  ~VELMutexLocker() { d_mutex.unlock(); }
  VELMutexLocker(const VELMutexLocker&) = delete;
  VELMutexLocker& operator=(const VELMutexLocker&) = delete;

 private:
  VELMutex& d_mutex;
};

#endif
