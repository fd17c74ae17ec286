// A count of the heap bytes a piece of code holds, through this program's own global allocation functions.
//
// In a translation unit of their own, so that the compiler never inlines
// them into the code they count: clang 16 at -O3, seeing them inlined,
// turned a vector comparison of the tests into an endless loop.
#include "counting_heap.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <new>

#if defined(_WIN32)
#include <malloc.h>
#endif

// This program's own global allocation functions, which count the heap
// bytes a call holds. Every block carries a header with its size and the
// watch it was counted in (0: none). While a watch is open, live bytes are
// summed (blocks freed count only if counted in the same watch), with their
// peak and, at every allocation, the excess of live bytes over what the
// watched budget has charged at that moment. Allocations and frees of
// counted blocks are taken one at a time: the algorithms charge before they
// allocate and give back after they free, so an excess is memory held
// without a charge, not a race.

namespace {

struct BlockHead {
  std::size_t size;
  std::uint64_t watch;
};
constexpr std::size_t kHeadRoom = 16;  // keeps plain blocks 16-byte aligned
static_assert(sizeof(BlockHead) <= kHeadRoom);

std::mutex heap_mutex;
std::atomic<std::uint64_t> heap_watch{0};
std::atomic<std::int64_t> heap_live{0};
std::atomic<std::int64_t> heap_peak{0};
std::atomic<std::int64_t> heap_excess{0};
std::atomic<const velkor::base::MemoryBudget*> heap_budget{nullptr};

void* heap_take(std::size_t size, std::size_t align) noexcept {
  const std::size_t head = std::max(align, kHeadRoom);
  if (size > SIZE_MAX / 2 - 2 * head) return nullptr;
  void* base;
  if (align <= kHeadRoom) {
    base = std::malloc(head + size);
  } else {
#if defined(_WIN32)
    base = _aligned_malloc(head + size, align);
#else
    base = std::aligned_alloc(align, (head + size + align - 1) / align * align);
#endif
  }
  if (!base) return nullptr;
  char* p = static_cast<char*>(base) + head;
  BlockHead* h = reinterpret_cast<BlockHead*>(p - kHeadRoom);
  h->size = size;
  h->watch = 0;
  if (const std::uint64_t watch = heap_watch.load()) {
    std::lock_guard<std::mutex> lock(heap_mutex);
    h->watch = watch;
    const std::int64_t live = heap_live += static_cast<std::int64_t>(size);
    if (live > heap_peak) heap_peak = live;
    if (const velkor::base::MemoryBudget* budget = heap_budget.load()) {
      const std::int64_t over = live - static_cast<std::int64_t>(budget->used());
      if (over > heap_excess) heap_excess = over;
    }
  }
  return p;
}

void heap_give(void* p, std::size_t align) noexcept {
  if (!p) return;
  const std::size_t head = std::max(align, kHeadRoom);
  const BlockHead* h = reinterpret_cast<const BlockHead*>(static_cast<char*>(p) - kHeadRoom);
  if (h->watch != 0) {
    std::lock_guard<std::mutex> lock(heap_mutex);
    if (h->watch == heap_watch.load()) heap_live -= static_cast<std::int64_t>(h->size);
  }
  void* base = static_cast<char*>(p) - head;
#if defined(_WIN32)
  if (align > kHeadRoom) {
    _aligned_free(base);
    return;
  }
#endif
  std::free(base);
}

void* heap_take_or_throw(std::size_t size, std::size_t align) {
  if (void* p = heap_take(size, align)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return heap_take_or_throw(n, 0); }
void* operator new[](std::size_t n) { return heap_take_or_throw(n, 0); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return heap_take(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return heap_take(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return heap_take_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return heap_take_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return heap_take(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return heap_take(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { heap_give(p, 0); }
void operator delete[](void* p) noexcept { heap_give(p, 0); }
void operator delete(void* p, const std::nothrow_t&) noexcept { heap_give(p, 0); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { heap_give(p, 0); }
void operator delete(void* p, std::size_t) noexcept { heap_give(p, 0); }
void operator delete[](void* p, std::size_t) noexcept { heap_give(p, 0); }
void operator delete(void* p, std::align_val_t a) noexcept { heap_give(p, static_cast<std::size_t>(a)); }
void operator delete[](void* p, std::align_val_t a) noexcept { heap_give(p, static_cast<std::size_t>(a)); }
void operator delete(void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
  heap_give(p, static_cast<std::size_t>(a));
}
void operator delete[](void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
  heap_give(p, static_cast<std::size_t>(a));
}
void operator delete(void* p, std::size_t, std::align_val_t a) noexcept { heap_give(p, static_cast<std::size_t>(a)); }
void operator delete[](void* p, std::size_t, std::align_val_t a) noexcept {
  heap_give(p, static_cast<std::size_t>(a));
}

namespace counting_heap {

Watch::Watch(const velkor::base::MemoryBudget& budget) {
  static std::atomic<std::uint64_t> watches{0};
  std::lock_guard<std::mutex> lock(heap_mutex);
  heap_live = heap_peak = heap_excess = 0;
  heap_budget = &budget;
  heap_watch = ++watches;
}

Watch::~Watch() {
  std::lock_guard<std::mutex> lock(heap_mutex);
  heap_watch = 0;
  heap_budget = nullptr;
}

std::int64_t Watch::live() const { return heap_live.load(); }
std::int64_t Watch::peak() const { return heap_peak.load(); }
std::int64_t Watch::excess() const { return heap_excess.load(); }

}  // namespace counting_heap
