// The module _corvex_rs: ibt (argument binding and the call sequence), the readings beside it
// (extension/readings.h), and the boundary where internal failures become PanicException.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "extension/assembly.h"
#include "extension/live.h"
#include "extension/options.h"
#include "extension/pyref.h"
#include "extension/readings.h"
#include "extension/source.h"

namespace corvex::py {

namespace {

// The docstring, its length and the argument messages below are what callers and the
// interpreter's introspection see; they are part of the module's interface, word for word.
constexpr const char kIbtDoc[] =
    "ibt(source, progress=None)\n--\n\n"
    "Parse an iRacing IBT file and return a LogFile.\n\n"
    "Note: Array variables (those with count > 1, e.g. tire temp arrays)\n"
    "are not included as channels. Only scalar (count == 1) variables are\n"
    "returned.";
static_assert(sizeof(kIbtDoc) - 1 == 226);

struct BoundArguments {
  PyObject* source = nullptr;    // borrowed
  PyObject* progress = nullptr;  // borrowed; null when absent or None
};

// Binds (source, progress=None), both positional-or-keyword, with the interpreter's messages.
BoundArguments bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 2) {
    raise_error(PyExc_TypeError, "ibt() takes from 1 to 2 positional arguments but " +
                                     std::to_string(nargs) + " were given");
  }
  PyObject* slots[2] = {nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr};
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    const std::string_view name = utf8_of(PyTuple_GET_ITEM(kwnames, i));
    const int slot = name == "source" ? 0 : name == "progress" ? 1 : -1;
    if (slot < 0) {
      raise_error(PyExc_TypeError,
                  "ibt() got an unexpected keyword argument '" + std::string(name) + "'");
    }
    if (slots[slot] != nullptr) {
      raise_error(PyExc_TypeError,
                  "ibt() got multiple values for argument '" + std::string(name) + "'");
    }
    slots[slot] = args[nargs + i];
  }
  if (slots[0] == nullptr) {
    raise_error(PyExc_TypeError, "ibt() missing 1 required positional argument: 'source'");
  }
  return BoundArguments{slots[0], slots[1] == Py_None ? nullptr : slots[1]};
}

PyObject* ibt_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const BoundArguments bound = bind_arguments(args, nargs, kwnames);
  // Held for the call, so that a callback cannot free the objects it is called with.
  PyRef source = PyRef::borrow(bound.source);
  PyRef progress = PyRef::borrow(bound.progress);
  const ReadOptions options = read_options_from_environment();
  const AcquiredSource acquired = acquire_source(source.get());
  return assemble_result(acquired, progress.get(), options).release();
}

// The exception's qualified name and the abort message below are matched word for word by
// callers and tests; keep them as they are.
PyObject* panic_exception_type() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "corvex._corvex_rs.PanicException",
      "Raised for an internal failure of the reader. It derives from BaseException, like "
      "SystemExit, so that `except Exception` does not swallow it.",
      PyExc_BaseException, nullptr);
  return type;
}

[[noreturn]] void abort_on_second_failure() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

// Turns an internal failure into PanicException; failing while doing so ends the process.
void raise_panic(std::string_view message) noexcept {
  try {
    PyErr_Clear();
    PyObject* type = panic_exception_type();
    if (type == nullptr) abort_on_second_failure();
    PyObject* text =
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) abort_on_second_failure();
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  } catch (...) {
    abort_on_second_failure();
  }
}

// The boundary: a Python exception already set passes through, memory exhaustion anywhere in
// the C++ code becomes MemoryError, and anything else is an internal failure.
template <class Call>
PyObject* at_boundary(Call call) {
  try {
    return call();
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic("unknown internal failure");
  }
  return nullptr;
}

PyObject* ibt(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return at_boundary([&] { return ibt_call(args, nargs, kwnames); });
}

template <PyObject* (*Call)(PyObject*, PyObject*)>
PyObject* reading(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return at_boundary([&] { return Call(args, kwargs); });
}

template <PyObject* (*Call)(PyObject*, PyObject*)>
PyMethodDef reading_def(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reading<Call>)),
          METH_VARARGS | METH_KEYWORDS, doc};
}

PyMethodDef ibt_def = {"ibt", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ibt)),
                       METH_FASTCALL | METH_KEYWORDS, kIbtDoc};
PyMethodDef reading_defs[] = {
    reading_def<ibt_salvage_call>("ibt_salvage", kIbtSalvageDoc),
    reading_def<read_arrays_call>("read_arrays", kReadArraysDoc),
    reading_def<snapshot_call>("snapshot", kSnapshotDoc),
    reading_def<probe_call>("probe", kProbeDoc),
    reading_def<read_call>("read", kReadDoc),
    reading_def<live_open_call>("live_open", kLiveOpenDoc),
    reading_def<live_read_call>("live_read", kLiveReadDoc),
    reading_def<live_status_call>("live_status", kLiveStatusDoc),
    reading_def<live_replay_call>("live_replay", kLiveReplayDoc),
    reading_def<lap_table_call>("lap_table", kLapTableDoc),
};

// The module name `_corvex_rs` and its docstring are imported and read by callers as they are.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_corvex_rs",
    "iRacing IBT telemetry file parser implemented in C++.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<int64_t> owner_interpreter{-1};
PyObject* module_object = nullptr;  // created once, never destroyed

// Each function is appended to the module's `__all__` (created on first use) and its messages,
// including the PyList conversion one, are what callers see word for word: do not tidy them.
void add_function(PyObject* module, PyMethodDef* def) {
  PyRef name = called(PyModule_GetNameObject(module));
  PyRef function = called(PyCMethod_New(def, module, name.get(), nullptr));
  PyRef function_name = called(PyObject_GetAttrString(function.get(), "__name__"));
  if (!PyUnicode_Check(function_name.get())) {
    raise_error(PyExc_TypeError, "function __name__ is not a str");
  }
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    all = created(PyList_New(0));
    check(PyObject_SetAttrString(module, "__all__", all.get()));
  } else if (!PyList_Check(all.get())) {
    raise_error(PyExc_TypeError, std::string("'") + Py_TYPE(all.get())->tp_name +
                                     "' object cannot be converted to 'PyList'");
  }
  check(PyList_Append(all.get(), function_name.get()));
  check(PyObject_SetAttr(module, function_name.get(), function.get()));
}

PyObject* init_module() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred()) fail();
  int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    // Message matched word for word by callers.
    raise_error(PyExc_ImportError,
                "_corvex_rs does not support sub-interpreters; import it from the main "
                "interpreter only");
  }
  if (module_object != nullptr) return Py_NewRef(module_object);
  PyRef module = called(PyModule_Create2(&module_def, 1013));
  add_function(module.get(), &ibt_def);
  for (PyMethodDef& def : reading_defs) add_function(module.get(), &def);
  module_object = module.release();
  return Py_NewRef(module_object);
}

}  // namespace

}  // namespace corvex::py

// CPython finds the module's entry point by this name, made from the module name `_corvex_rs`.
PyMODINIT_FUNC PyInit__corvex_rs() {  // NOLINT(bugprone-reserved-identifier)
  return corvex::py::at_boundary(corvex::py::init_module);
}
