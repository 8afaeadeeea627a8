// Ownership of Python references and the two ways a CPython call can fail us: an object that could
// not be created (a panic, as the interpreter is out of memory) and a call into Python code that
// raised (an ordinary exception, left set for the caller).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace corvex::py {

// Owns one strong reference; empty means "an exception is set".
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* object) { return PyRef(object); }
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// An internal failure, turned into PanicException at the module boundary. When
// `print_pending` is set, the exception pending at that moment is printed first.
class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& what, bool print_pending = false)
      : std::runtime_error(what), print_pending_(print_pending) {}
  bool print_pending() const { return print_pending_; }

 private:
  bool print_pending_;
};

// A new object from CPython (a string, dict, list, tuple or int); failing to create one is a panic.
inline PyRef created(PyObject* object) {
  if (object == nullptr) throw Panic("Python API call failed", /*print_pending=*/true);
  return PyRef::steal(object);
}

// The result of a call that runs Python code or looks something up. A failure without an
// exception set becomes a SystemError, so that the caller always sees one.
inline PyRef called(PyObject* result) {
  if (result == nullptr && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return PyRef::steal(result);
}

// The same rule for calls that report failure with -1.
inline bool succeeded(int status) {
  if (status < 0 && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return status >= 0;
}

inline PyRef text(std::string_view s) {
  return created(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// Sets `type` with a message that may contain any bytes (a path with a NUL, for one).
inline void set_error(PyObject* type, std::string_view message) {
  PyRef value = text(message);
  PyErr_SetObject(type, value.get());
}

}  // namespace corvex::py
