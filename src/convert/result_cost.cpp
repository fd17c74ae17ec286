// What the dict that the output builder makes costs in this interpreter's memory, for the memory budget.
#include "convert/result_cost.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "boundary/dict_table.hpp"
#include "boundary/python.hpp"
#include "convert/output.hpp"

namespace velkor::convert {

namespace {

// Objects are handed out in multiples of 16 bytes, by the object allocator
// and by malloc alike.
constexpr std::size_t kGranule = 16;
constexpr std::size_t round_up(std::size_t bytes) { return (bytes + kGranule - 1) / kGranule * kGranule; }

// An object of `type` with `items` items, including the collector's header
// in front of tracked objects (two pointers; a free-threaded interpreter
// keeps the collector's state in the object's own header instead).
std::size_t object_bytes(PyTypeObject* type, std::size_t items) noexcept {
  std::size_t bytes = static_cast<std::size_t>(type->tp_basicsize) +
                      items * static_cast<std::size_t>(type->tp_itemsize);
#ifndef Py_GIL_DISABLED
  if (PyType_IS_GC(type)) bytes += 2 * sizeof(void*);
#endif
  return round_up(bytes);
}

// Every value fits in 32 bits, which an int holds in two 30-bit digits.
constexpr std::size_t kValueDigits = 2;
// The interpreter shares the ints from -5 to 256.
constexpr unsigned long kLargestSharedInt = 256;

// The dict's table: a header, an index of 1, 2, 4 or 8 bytes per slot, and
// entries (hash, key, value) for two thirds of the slots. A dict presized
// for n entries starts with room for them: the constructor's table never
// has more than 2^17 slots, but the builder makes a larger one at its first
// insert where it can. A dict that grows moves, when full, to the smallest
// power of two of at least three times its entries (twice its slots),
// holding both tables while it copies.
constexpr std::size_t kTableHeader = 64;
constexpr std::size_t kTableEntry = 3 * sizeof(void*);
constexpr unsigned kMinLog2Slots = 3;
constexpr unsigned kMaxPresizeLog2 = 17;

constexpr std::size_t usable(unsigned log2_slots) { return (std::size_t{2} << log2_slots) / 3; }

// log2 of the smallest power of two of at least `n` slots (at least 8).
unsigned log2_slots_for(std::size_t n) {
  return std::max(kMinLog2Slots, static_cast<unsigned>(std::bit_width(std::max<std::size_t>(n, 1) - 1)));
}

std::size_t table_bytes(unsigned log2_slots) {
  const std::size_t index = log2_slots < 8 ? 1 : log2_slots < 16 ? 2 : log2_slots < 32 ? 4 : 8;
  return round_up(kTableHeader + (index << log2_slots) + usable(log2_slots) * kTableEntry);
}

// Counts beyond this cost more than any address space holds; below it no
// sum here can overflow.
constexpr std::size_t kMaxEntries = SIZE_MAX / 1024;

}  // namespace

DictResultCost::DictResultCost(Nodes nodes, Values values) noexcept {
  // The node's object, its acyclic flag, its predicted hash and whether that is known.
  per_node_ = sizeof(boundary::Ref) + 2 * sizeof(char) + sizeof(std::size_t);
  if (nodes == Nodes::new_ints) per_node_ += object_bytes(&PyLong_Type, kValueDigits);
  per_entry_ = object_bytes(&PyTuple_Type, 2);
  if (values == Values::any) per_entry_ += object_bytes(&PyLong_Type, kValueDigits);
}

std::size_t DictResultCost::entry_bytes(std::size_t entries) const noexcept {
  if (entries == 0) return 0;
  if (entries > kMaxEntries) return SIZE_MAX;
  std::size_t peak;
  if (entries <= usable(kMaxPresizeLog2) ||
      boundary::compat::presizes_on_first_insert(static_cast<Py_ssize_t>(entries))) {
    peak = entries * per_entry_ + table_bytes(log2_slots_for((entries * 3 + 1) / 2));
  } else {
    // The table ends at the smallest size beyond the presized one that
    // holds every entry; each growth step doubles it, and the last step,
    // the largest, is the peak of all steps.
    unsigned log2 = std::max(kMaxPresizeLog2, log2_slots_for(entries * 3 / 2));
    while (usable(log2) < entries) ++log2;
    peak = entries * per_entry_ + table_bytes(log2);
    if (log2 > kMaxPresizeLog2)
      peak = std::max(peak, usable(log2 - 1) * per_entry_ + table_bytes(log2 - 1) + table_bytes(log2));
  }
  // Allocator overhead (pool headers, partly used pools and pages) and
  // page tables: one sixteenth more.
  return peak + peak / 16;
}

DictResultCost::Values values_up_to(unsigned long extreme) noexcept {
  return extreme <= kLargestSharedInt ? DictResultCost::Values::small_ints : DictResultCost::Values::any;
}

}  // namespace velkor::convert
