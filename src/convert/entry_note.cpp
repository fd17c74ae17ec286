// The note that names the input entry an error is about.
#include "convert/entry_note.hpp"

#include "boundary/ref.hpp"

namespace velkor::convert {

namespace {

using boundary::Ref;

// Longer reprs are cut to this many characters and "...".
constexpr Py_ssize_t kReprLength = 100;

// The repr of `obj`, cut; false when it cannot be made.
bool short_repr(PyObject* obj, std::string& out) {
  Ref text = Ref::steal(PyObject_Repr(obj));
  if (text && PyUnicode_GET_LENGTH(text.get()) > kReprLength) {
    Ref cut = Ref::steal(PyUnicode_Substring(text.get(), 0, kReprLength));
    text = cut ? Ref::steal(PyUnicode_FromFormat("%U...", cut.get())) : Ref();
  }
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (!utf8) return false;
  out.append(utf8, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

std::string entry_note(PyObject* key, PyObject* value) noexcept {
  try {
    std::string note = "in the entry with key ";
    if (short_repr(key, note) && (!value || (note += " and value ", short_repr(value, note)))) return note;
  } catch (...) {
    // No note without the memory for it.
  }
  PyErr_Clear();
  return {};
}

}  // namespace velkor::convert
