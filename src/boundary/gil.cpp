// The guard count and the pool of reference releases requested without a guard.
#include "boundary/gil.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace velkor::boundary {

thread_local long GIL_COUNT VELKOR_TLS_MODEL = 0;

namespace {

// Process-wide list of references whose release was requested on a thread
// that held no guard. The mutex is held only to append or to swap out the
// whole list, never while a reference is released.
struct ReferencePool {
  std::mutex mutex;
  std::vector<PyObject*> pending;
  std::atomic<bool> any{false};  // pending is not empty: drain_pool looks without locking
};

// Made when the module is loaded (constant-initialised), never lazily: a
// fork while another thread made it would leave the child waiting for it.
ReferencePool POOL;

}  // namespace

void register_decref(PyObject* obj) noexcept {
  if (GIL_COUNT > 0) {
    Py_DECREF(obj);
    return;
  }
  std::lock_guard<std::mutex> lock(POOL.mutex);
  try {
    POOL.pending.push_back(obj);
    POOL.any.store(true, std::memory_order_release);
  } catch (...) {
    // Out of memory for the queue: the reference is leaked rather than
    // released without the lock.
  }
}

void drain_pool() noexcept {
  if (!POOL.any.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> taken;
  {
    std::lock_guard<std::mutex> lock(POOL.mutex);
    taken.swap(POOL.pending);
    POOL.any.store(false, std::memory_order_relaxed);
  }
  for (PyObject* obj : taken) Py_DECREF(obj);
}

}  // namespace velkor::boundary
