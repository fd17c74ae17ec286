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
};

std::atomic<ReferencePool*> POOL{nullptr};

ReferencePool& pool_instance() {
  ReferencePool* p = POOL.load(std::memory_order_acquire);
  if (p) return *p;
  static ReferencePool instance;
  ReferencePool* expected = nullptr;
  POOL.compare_exchange_strong(expected, &instance, std::memory_order_acq_rel);
  return instance;
}

}  // namespace

void register_decref(PyObject* obj) noexcept {
  if (GIL_COUNT > 0) {
    Py_DECREF(obj);
    return;
  }
  ReferencePool& pool = pool_instance();
  std::lock_guard<std::mutex> lock(pool.mutex);
  try {
    pool.pending.push_back(obj);
  } catch (...) {
    // Out of memory for the queue: the reference is leaked rather than
    // released without the lock.
  }
}

void drain_pool() noexcept {
  ReferencePool* pool = POOL.load(std::memory_order_acquire);
  if (!pool) return;
  std::vector<PyObject*> taken;
  {
    std::lock_guard<std::mutex> lock(pool->mutex);
    if (pool->pending.empty()) return;
    taken.swap(pool->pending);
  }
  for (PyObject* obj : taken) Py_DECREF(obj);
}

}  // namespace velkor::boundary
