// Ownership of Python references, and the one way the extension fails. Every failure, whether
// CPython could not create an object (out of memory), Python code we called raised, or we found
// the caller's input unusable, sets the Python exception and throws PythonError; the module
// boundary catches it and returns NULL to the interpreter. So a function that returns at all has
// succeeded, and no caller checks for an empty result.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace corvex::py {

// Owns one strong reference, or none (an absent optional argument, a moved-from owner).
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

// Unwinds a call to the module boundary with the Python exception that is already set.
struct PythonError {};

// An internal failure (a broken invariant), turned into PanicException at the module boundary.
class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Unwinds with the pending exception. CPython calls that fail without setting one would leave the
// caller with NULL and nothing to show, so that case becomes a SystemError.
[[noreturn]] inline void fail() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  throw PythonError{};
}

// A new object from CPython (a string, dict, list, tuple or int). CPython fails to create one only
// when it is out of memory, which it reports as MemoryError.
inline PyRef created(PyObject* object) {
  if (object == nullptr) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    throw PythonError{};
  }
  return PyRef::steal(object);
}

// The result of a call that runs Python code or looks something up.
inline PyRef called(PyObject* result) {
  if (result == nullptr) fail();
  return PyRef::steal(result);
}

// The same rule for calls that report failure with a negative status.
inline void check(int status) {
  if (status < 0) fail();
}

// Text the core made is valid UTF-8; a path label may also carry the lone surrogates of a file
// name that is not UTF-8 (see source.cc), which "surrogatepass" gives back as they were.
inline PyRef text(std::string_view s) {
  return created(
      PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass"));
}

// Raises `type` with a message that may contain any bytes (a path with a NUL, for one).
[[noreturn]] inline void raise_error(PyObject* type, std::string_view message) {
  PyRef value = text(message);
  PyErr_SetObject(type, value.get());
  throw PythonError{};
}

// The UTF-8 text of a str object, valid while the object lives.
inline std::string_view utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) fail();
  return {data, static_cast<size_t>(size)};
}

// True when the pending exception must reach the caller whatever the code that caught it meant
// to do with ordinary failures: an interrupt (KeyboardInterrupt), SystemExit and the like (which
// are not Exceptions), and MemoryError.
inline bool pending_is_fatal() {
  return !PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError);
}

// For a failure that has a fallback (the next kind of source to try, a missing attribute): clears
// the pending exception, unless it is fatal, which keeps unwinding.
inline void clear_unless_fatal() {
  if (pending_is_fatal()) throw PythonError{};
  PyErr_Clear();
}

// Releases the interpreter lock for as long as it lives, so that other Python threads run while
// the C++ core reads; with_gil takes it back for a moment.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;
  ~GilReleased() { PyEval_RestoreThread(state_); }

  template <class F>
  auto with_gil(F&& f) {
    PyEval_RestoreThread(state_);
    struct Release {
      PyThreadState*& state;
      ~Release() { state = PyEval_SaveThread(); }
    } release{state_};
    return f();
  }

 private:
  PyThreadState* state_;
};

}  // namespace corvex::py
