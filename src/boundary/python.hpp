// The one include of the interpreter's headers, and the few calls whose form differs between versions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#error "velkor needs CPython 3.12 or later"
#endif

namespace velkor::boundary::compat {

// A new empty dict with room for `n` entries, up to the interpreter's cap
// (2^17 slots), beyond which it grows as it is filled. Every supported
// version exports the presizing constructor.
inline PyObject* new_presized_dict(Py_ssize_t n) noexcept {
  return n > 0 ? _PyDict_NewPresized(n) : PyDict_New();
}

}  // namespace velkor::boundary::compat
