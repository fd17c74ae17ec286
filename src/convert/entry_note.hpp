// The note that names the input entry an error is about.
#pragma once

#include <string>

#include "boundary/python.hpp"

namespace velkor::convert {

// "in the entry with key K" or, when `value` (borrowed, may be null) is at
// fault, "in the entry with key K and value V", each a repr cut to 100
// characters. Empty when a repr fails (its error is dropped), so that the
// error being reported is never replaced. Call with no error pending.
std::string entry_note(PyObject* key, PyObject* value) noexcept;

}  // namespace velkor::convert
