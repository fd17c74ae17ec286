// Python objects rendered into UTF-8 text for messages.
#include "boundary/text.hpp"

#include "boundary/ref.hpp"

namespace velkor::boundary {

std::string utf8_text(PyObject* unicode) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(unicode, &size)) return std::string(data, size);
  PyErr_Clear();
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(unicode, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return {};
  }
  Ref lenient = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                PyBytes_GET_SIZE(bytes.get()), "replace"));
  if (!lenient) {
    PyErr_Clear();
    return {};
  }
  if (const char* data = PyUnicode_AsUTF8AndSize(lenient.get(), &size)) return std::string(data, size);
  PyErr_Clear();
  return {};
}

namespace {

std::string unprintable(PyObject* obj) {
  PyErr_WriteUnraisable(obj);
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return "<unprintable " + utf8_text(name.get()) + " object>";
}

}  // namespace

std::string str_text(PyObject* obj) {
  Ref s = Ref::steal(PyObject_Str(obj));
  if (!s) return unprintable(obj);
  return utf8_text(s.get());
}

std::string repr_text(PyObject* obj) {
  Ref s = Ref::steal(PyObject_Repr(obj));
  if (!s) return unprintable(obj);
  return utf8_text(s.get());
}

}  // namespace velkor::boundary
