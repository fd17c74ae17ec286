// The error value PyErr: deferred or materialised, taken from and raised into the interpreter.
#include "boundary/error.hpp"

#include <cstdio>

#include "boundary/panic.hpp"
#include "boundary/text.hpp"

namespace velkor::boundary {

PyErr PyErr::new_err(PyObject* type, std::string message) {
  PyErr e;
  e.type_ = Ref::borrow(type);
  e.message_ = std::move(message);
  return e;
}

PyErr PyErr::downcast(PyObject* from, const char* to) {
  PyErr e;
  e.type_ = Ref::borrow(PyExc_TypeError);
  e.downcast_from_type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(from)));
  e.downcast_to_ = to;
  return e;
}

PyErr PyErr::from_value(Ref exception) noexcept {
  PyErr e;
  e.value_ = std::move(exception);
  return e;
}

std::string PyErr::message_text() const {
  if (!downcast_from_type_) return message_;
  std::string qualname;
  Ref name = Ref::steal(
      PyType_GetQualName(reinterpret_cast<PyTypeObject*>(downcast_from_type_.get())));
  Py_ssize_t size = 0;
  const char* data = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (data) {
    qualname.assign(data, size);
  } else {
    PyErr_Clear();
    qualname = "<failed to extract type name>";
  }
  return "'" + qualname + "' object cannot be converted to '" + downcast_to_ + "'";
}

PyObject* PyErr::value() {
  if (value_) return value_.get();
  Ref message = Ref::steal(new_str(message_text()));
  if (message) PyErr_SetObject(type_.get(), message.get());
  // Whatever is pending now is the error: normally the one just raised, or
  // the MemoryError of building its message.
  value_ = Ref::steal(PyErr_GetRaisedException());
  if (!value_) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    value_ = Ref::steal(PyErr_GetRaisedException());
  }
  type_.reset();
  downcast_from_type_.reset();
  return value_.get();
}

void add_note(PyObject* exc, const std::string& note) noexcept {
  if (note.empty()) return;
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  Ref done = text ? Ref::steal(PyObject_CallMethod(exc, "add_note", "O", text.get())) : Ref();
  if (!done) PyErr_Clear();
}

void PyErr::restore() noexcept {
  if (!note_.empty() && !value_) {
    try {
      (void)value();
    } catch (...) {
      // Raised below without its note, as a deferred error is.
    }
  }
  if (value_) {
    add_note(value_.get(), note_);
    PyErr_SetRaisedException(value_.release());
    return;
  }
  std::string text;
  try {
    text = message_text();
  } catch (...) {
    PyErr_NoMemory();
    return;
  }
  Ref message = Ref::steal(new_str(text));
  if (message) PyErr_SetObject(type_.get(), message.get());
  // else: the MemoryError of building the message is pending and is raised.
}

std::string PyErr::render() {
  EnsureGIL guard;
  PyObject* exc = value();
  std::string out = "PyErr { type: ";
  out += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
  out += ", value: ";
  out += repr_text(exc);
  out += ", traceback: ";
  Ref tb = Ref::steal(PyException_GetTraceback(exc));
  if (tb) {
    out += "Some(" + repr_text(tb.get()) + ")";
  } else {
    out += "None";
  }
  out += " }";
  return out;
}

std::optional<PyErr> take() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return std::nullopt;
  PyObject* panic_type = panic_exception_type();
  if (reinterpret_cast<PyObject*>(Py_TYPE(exc.get())) != panic_type)
    return PyErr::from_value(std::move(exc));

  // A PanicException raised by Python code that this module called: carry
  // the failure on with the same message.
  std::string message;
  if (Ref s = Ref::steal(PyObject_Str(exc.get()))) {
    message = utf8_text(s.get());
  } else {
    PyErr_Clear();
    message = "Unwrapped panic from Python code";
  }
  std::fputs("velkor: resuming an internal failure after a PanicException was fetched from Python code\n",
             stderr);
  std::fputs("Python stack trace below:\n", stderr);
  std::fflush(stderr);
  PyErr_SetRaisedException(exc.release());
  PyErr_PrintEx(0);
  resume_panic(std::move(message));
}

PyErr fetch() {
  if (std::optional<PyErr> e = take()) return std::move(*e);
  return PyErr::new_err(PyExc_SystemError, "attempted to fetch exception but none was set");
}

PyErr argument_extraction_error(const char* name, PyErr error) {
  if (error.is_unchanged()) return error;
  PyObject* exc = error.value();
  if (reinterpret_cast<PyObject*>(Py_TYPE(exc)) != PyExc_TypeError) return error;
  PyErr wrapped = PyErr::new_err(PyExc_TypeError,
                                 std::string("argument '") + name + "': " + str_text(exc));
  PyObject* new_exc = wrapped.value();
  // PyException_SetCause steals the cause (null allowed) and marks the
  // context as suppressed; the wrapped error itself is dropped.
  PyException_SetCause(new_exc, PyException_GetCause(exc));
  wrapped.set_note(error.note());
  return wrapped;
}

void unwrap_failed(PyErr error, std::source_location where) {
  panic("called `Result::unwrap()` on an `Err` value: " + error.render(), where);
}

namespace {

// Debug-style quoting of a type name: double quotes, with any double quote
// or backslash inside escaped by a backslash.
std::string quoted(const char* text) {
  std::string out = "\"";
  for (const char* c = text; *c; ++c) {
    if (*c == '"' || *c == '\\') out += '\\';
    out += *c;
  }
  return out + "\"";
}

}  // namespace

void unwrap_failed_downcast(PyObject* from, const char* to, std::source_location where) {
  std::string rendered;
  {
    EnsureGIL guard;
    rendered = "DowncastIntoError { from: " + repr_text(from) + ", to: " + quoted(to) + " }";
  }
  panic("called `Result::unwrap()` on an `Err` value: " + rendered, where);
}

}  // namespace velkor::boundary
