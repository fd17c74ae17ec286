// What the result builder knows of the interpreter's dict table: a table
// sized for all entries from the start, where an insert probes, and the
// tuple hash that says where a key goes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "boundary/python.hpp"

namespace velkor::boundary::compat {

// Inserts `key`: `value` into the new, empty exact dict `dict` as its first
// entry, and gives its table room for `total` entries at once, beyond the
// presizing constructor's cap: filled one insert at a time, a large dict
// moves to a table four times as large whenever it is full, and every move
// allocates and clears a new table and inserts every entry again, which
// costs more than all the inserts themselves. Calls the key's hash once, as
// an insert does. Returns -1 with the interpreter's error set when the
// insert fails.
int insert_first_presized(PyObject* dict, PyObject* key, PyObject* value, Py_ssize_t total);
// Whether insert_first_presized makes room for `total` entries, which the
// presizing constructor would not: then the dict is best made empty.
bool presizes_on_first_insert(Py_ssize_t total) noexcept;

// Where an insert into an exact dict's current table probes, for
// prefetching it before the insert. The table's layout is the
// interpreter's own, the same from 3.12 to 3.15: a header (refcount, log2
// of the slot count, log2 of the index bytes, kind, version, usable and
// entry counts), the index (1, 2, 4 or 8 bytes per slot: -1 for a free
// slot, else an entry number), then the entries (hash, key, value). It is
// used only when the header obeys the interpreter's invariants for this
// very dict (its entry count equals the dict's size, usable plus entries is
// two thirds of the slots), which a different layout would not; even so a
// prefetch never faults, and the only reads are of index slots within the
// table that those figures describe.
class DictIndex {
 public:
  DictIndex() noexcept = default;
  explicit DictIndex(PyObject* dict) noexcept {
    struct Head {
      Py_ssize_t refcnt;
      std::uint8_t log2_size, log2_index_bytes, kind, pad;
      std::uint32_t version;
      Py_ssize_t usable, nentries;
    };
    const auto* d = reinterpret_cast<PyDictObject*>(dict);
    const auto* keys = reinterpret_cast<const Head*>(d->ma_keys);
    if (!keys || d->ma_values) return;
    const unsigned log2 = keys->log2_size;
    if (log2 < 3 || log2 >= 8 * sizeof(Py_ssize_t) - 2 || keys->kind != 0) return;
    const unsigned width = log2 < 8 ? 0 : log2 < 16 ? 1 : log2 < 32 ? 2 : 3;
    if (keys->log2_index_bytes != log2 + width) return;
    const Py_ssize_t slots = Py_ssize_t{1} << log2;
    if (keys->nentries != d->ma_used || keys->usable < 0 || keys->usable + keys->nentries != (slots << 1) / 3)
      return;
    index_ = reinterpret_cast<const char*>(keys + 1);
    entries_ = index_ + (static_cast<std::size_t>(slots) << width);
    mask_ = static_cast<std::size_t>(slots - 1);
    shift_ = width;
  }
  // Where an insert of one key stands in its probe sequence: the slot it
  // reads next, and the part of the hash not yet mixed in. The sequence is
  // the interpreter's: slot i, then (5i + perturb + 1) masked, with perturb
  // starting as the hash and shifted right by 5 before each step.
  struct Probe {
    std::size_t slot = 0, perturb = 0;
    bool live = false;
  };
  // The first probe of an insert of `hash`, its slot prefetched for writing.
  Probe start(std::size_t hash) const noexcept {
    if (!index_) return {};
    const Probe p{hash & mask_, hash, true};
    __builtin_prefetch(index_ + (p.slot << shift_), 1, 3);
    return p;
  }
  // One step, best taken once the probe's slot has had time to arrive: a
  // free slot ends the sequence (the insert puts its entry there); a slot
  // holding an entry has the entry prefetched, which the insert reads to
  // compare hashes, and moves the probe on to the next slot, prefetched.
  void step(Probe& p) const noexcept {
    const char* at = index_ + (p.slot << shift_);
    std::int64_t ix;
    switch (shift_) {
      case 0: ix = *reinterpret_cast<const std::int8_t*>(at); break;
      case 1: ix = *reinterpret_cast<const std::int16_t*>(at); break;
      case 2: ix = *reinterpret_cast<const std::int32_t*>(at); break;
      default: ix = *reinterpret_cast<const std::int64_t*>(at); break;
    }
    if (ix == -1) {
      p.live = false;
      return;
    }
    if (ix >= 0 && static_cast<std::size_t>(ix) <= mask_)
      __builtin_prefetch(entries_ + static_cast<std::size_t>(ix) * 3 * sizeof(void*), 0, 3);
    p.perturb >>= 5;
    p.slot = (p.slot * 5 + p.perturb + 1) & mask_;
    __builtin_prefetch(index_ + (p.slot << shift_), 1, 3);
  }

 private:
  const char* index_ = nullptr;
  const char* entries_ = nullptr;
  std::size_t mask_ = 0;
  unsigned shift_ = 0;
};

// The interpreter's hash of a 2-tuple from its items' hashes (the tuple
// hash of CPython 3.8 and later, xxHash's round per item); used only to
// predict where a key will go.
inline std::size_t tuple2_hash(std::size_t a, std::size_t b) noexcept {
  if constexpr (sizeof(std::size_t) == 8) {
    constexpr std::uint64_t p1 = 11400714785074694791ULL, p2 = 14029467366897019727ULL,
                            p5 = 2870177450012600261ULL;
    std::uint64_t acc = p5;
    acc += a * p2;
    acc = (acc << 31) | (acc >> 33);
    acc *= p1;
    acc += b * p2;
    acc = (acc << 31) | (acc >> 33);
    acc *= p1;
    acc += 2 ^ (p5 ^ 3527539ULL);
    return acc == ~std::uint64_t{0} ? 1546275796 : acc;
  } else {
    constexpr std::uint32_t p1 = 2654435761U, p2 = 2246822519U, p5 = 374761393U;
    std::uint32_t acc = p5;
    acc += static_cast<std::uint32_t>(a) * p2;
    acc = (acc << 13) | (acc >> 19);
    acc *= p1;
    acc += static_cast<std::uint32_t>(b) * p2;
    acc = (acc << 13) | (acc >> 19);
    acc *= p1;
    acc += 2 ^ (p5 ^ 3527539U);
    return acc == ~std::uint32_t{0} ? 1546275796 : acc;
  }
}

}  // namespace velkor::boundary::compat
