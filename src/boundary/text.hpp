// Python objects rendered into UTF-8 text for messages.
#pragma once

#include <string>
#include <string_view>

#include "boundary/python.hpp"

namespace velkor::boundary {

// The UTF-8 text of a str object. Lone surrogates are passed through the
// "surrogatepass" encoding and every invalid byte sequence becomes U+FFFD.
// Never fails; an unconvertible object gives an empty text.
std::string utf8_text(PyObject* unicode);

// str(obj) / repr(obj) as text. When the call fails, the failure is reported
// as unraisable and the text is "<unprintable {type name} object>".
std::string str_text(PyObject* obj);
std::string repr_text(PyObject* obj);

// A new str object from UTF-8 text; null with an exception set on failure.
inline PyObject* new_str(std::string_view text) noexcept {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace velkor::boundary
