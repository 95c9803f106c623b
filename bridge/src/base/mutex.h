#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.h"

namespace velkor {

// std::mutex with the annotations clang's thread-safety analysis needs.
class VELKOR_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() VELKOR_ACQUIRE() { mu_.lock(); }
  void unlock() VELKOR_RELEASE() { mu_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Scoped lock on a Mutex.
class VELKOR_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) VELKOR_ACQUIRE(mu) : mu_(mu) { mu_->lock(); }
  ~MutexLock() VELKOR_RELEASE() { mu_->unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

// Condition variable used with a Mutex. Waits always carry a deadline.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Returns false when the deadline passed. The caller holds `mu`.
  bool wait_until(Mutex* mu, std::chrono::steady_clock::time_point deadline) VELKOR_REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    bool woke = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woke;
  }
  void signal() { cv_.notify_one(); }
  void signal_all() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace velkor
