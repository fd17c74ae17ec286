// Presizing a dict's table beyond the interpreter's presizing constructor.
#include "boundary/dict_table.hpp"

#include <string>

#include "boundary/panic.hpp"
#include "boundary/ref.hpp"

namespace velkor::boundary::compat {

// A merge of one dict into an empty one sizes the table, before it copies
// any entry, for the other dict's size. So the first entry goes into a dict
// of its own, whose size is set to the total for the merge only; the merge
// makes the table for that many and copies the one entry with its hash
// (the key's hash is not called again, nor its equality: the table is
// empty). The size is set back before anything else can see that dict,
// which is released at once. The merge works so from 3.12 to 3.15, with
// the lock and without it (free-threaded builds take the same path, inside
// a critical section on both dicts; the one-entry dict is ours alone); in
// later versions the entry is inserted plainly and the dict grows as it is
// filled.
#if PY_VERSION_HEX < 0x03100000
#define VELKOR_PRESIZE_BY_MERGE 1
#endif

namespace {
// The most entries the presizing constructor makes room for.
constexpr Py_ssize_t kPresizedByConstructor = (Py_ssize_t{2} << 17) / 3;
}  // namespace

bool presizes_on_first_insert(Py_ssize_t total) noexcept {
#ifdef VELKOR_PRESIZE_BY_MERGE
  return total > kPresizedByConstructor;
#else
  (void)total;
  return false;
#endif
}

int insert_first_presized(PyObject* dict, PyObject* key, PyObject* value, Py_ssize_t total) {
#ifdef VELKOR_PRESIZE_BY_MERGE
  auto* into = reinterpret_cast<PyDictObject*>(dict);
  if (presizes_on_first_insert(total) && PyDict_CheckExact(dict) && into->ma_used == 0) {
    Ref first = Ref::steal(PyDict_New());
    if (!first) return -1;
    if (PyDict_SetItem(first.get(), key, value) < 0) return -1;
    auto* from = reinterpret_cast<PyDictObject*>(first.get());
    if (from->ma_used != 1) panic("a new dict holds " + std::to_string(from->ma_used) + " entries after one insert");
    from->ma_used = total;
    const int merged = PyDict_Update(dict, first.get());
    from->ma_used = 1;
    if (merged < 0) return -1;
    if (into->ma_used != 1) panic("a dict holds " + std::to_string(into->ma_used) + " entries after a merge of one");
    return 0;
  }
#else
  (void)total;
#endif
  return PyDict_SetItem(dict, key, value);
}

}  // namespace velkor::boundary::compat
