#include "extension/assembly.h"

#include <new>
#include <utility>

#include "core/arrays.h"
#include "core/arrow_export.h"
#include "core/tables.h"
#include "extension/metadata.h"

namespace corvex::py {

namespace {

// Replaces the pending exception with RuntimeError("{type}: {text}"), the form in which a failed
// hand-off to pyarrow is reported. Running out of memory (pyarrow's ArrowMemoryError is a
// MemoryError) and interrupts are not failures of the hand-off: they pass through unchanged.
[[noreturn]] void reraise_as_runtime_error() {
  if (pending_is_fatal()) throw PythonError{};
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type), exc = PyRef::steal(value),
        owned_traceback = PyRef::steal(traceback);
  if (!exc) raise_error(PyExc_RuntimeError, "unknown error in the pyarrow hand-off");
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(exc.get())));
  std::string type_name = "<unknown>";
  if (qualname) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(qualname.get(), &size)) {
      type_name.assign(data, static_cast<size_t>(size));
    }
  }
  PyErr_Clear();
  std::string message = type_name + ": <exception str() failed>";
  if (PyRef str = PyRef::steal(PyObject_Str(exc.get()))) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str.get(), &size)) {
      message = type_name + ": " + std::string(data, static_cast<size_t>(size));
    }
  }
  PyErr_Clear();
  raise_error(PyExc_RuntimeError, message);
}

// A step of the hand-off whose failure is reported as reraise_as_runtime_error says.
template <class F>
PyRef reported_as_runtime_error(F&& step) {
  try {
    return step();
  } catch (const PythonError&) {
    reraise_as_runtime_error();
  }
}

// A call into pyarrow. pyarrow's compiled code lets a C++ std::bad_alloc escape from some of
// its functions (the stream import, when an allocation of the Arrow library fails), even from a
// section that released the interpreter lock, which is then never taken back. The exception is
// caught here: the lock is taken back when the thread lost it, and the call fails with
// MemoryError. Whatever pyarrow held in the abandoned frames stays allocated.
template <class F>
PyRef call_pyarrow(F&& call) {
  PyThreadState* thread = PyThreadState_Get();
  try {
    return call();
  } catch (const std::bad_alloc&) {
#if PY_VERSION_HEX >= 0x030D0000
    const bool holds_lock = PyThreadState_GetUnchecked() != nullptr;
#else
    const bool holds_lock = _PyThreadState_UncheckedGet() != nullptr;
#endif
    if (!holds_lock) PyEval_RestoreThread(thread);
    PyErr_NoMemory();
    throw PythonError{};
  }
}

// Owns an Arrow C structure (a stream, a schema) until pyarrow takes it over; releases it if
// pyarrow never did.
template <class T>
class ArrowHolder {
 public:
  ArrowHolder() { value_.release = nullptr; }
  ArrowHolder(const ArrowHolder&) = delete;
  ArrowHolder& operator=(const ArrowHolder&) = delete;
  ~ArrowHolder() {
    if (value_.release != nullptr) value_.release(&value_);
  }
  T* get() { return &value_; }

 private:
  T value_;
};

// A broken invariant of the producer; checked in the sanitizer and fuzzing builds, where every
// batch is validated before pyarrow sees it.
void check_export([[maybe_unused]] const ExportBatch& batch) {
#ifdef CORVEX_VALIDATE_EXPORTS
  ArrowSchema schema{};
  ArrowArray array{};
  auto made = export_schema(batch, &schema);
  if (!made) throw Panic(made.error().display());
  made = export_array(batch, &array);
  if (!made) {
    schema.release(&schema);
    throw Panic(made.error().display());
  }
  auto valid = validate_export(batch, schema, array);
  array.release(&array);
  schema.release(&schema);
  if (!valid || array.release != nullptr || schema.release != nullptr) {
    throw Panic(valid ? "release callback did not mark its structure released"
                      : valid.error().display());
  }
#endif
}

// Per call: pyarrow's Table class, the stream importer and the method names, looked up once.
class PyarrowHandOff {
 public:
  explicit PyarrowHandOff(PyRef table_class)
      : table_class_(std::move(table_class)),
        read_next_batch_(interned("read_next_batch")),
        from_batches_(interned("from_batches")),
        select_(interned("select")) {}

  // One batch through a one-batch C stream; the column memory is shared, not copied. A failure
  // on the pyarrow side is reported as RuntimeError("{type}: {text}").
  PyRef import_batch(ExportBatch batch) {
    check_export(batch);
    ArrowHolder<ArrowArrayStream> stream;
    if (auto made = export_stream(std::move(batch), stream.get()); !made) {
      raise_error(PyExc_MemoryError, made.error().message());
    }
    return reported_as_runtime_error([&] {
      PyRef imported = import_stream(stream.get());
      PyObject* args[] = {imported.get()};
      return call_pyarrow([&] {
        return called(PyObject_VectorcallMethod(read_next_batch_.get(), args, 1, nullptr));
      });
    });
  }

  // The batch of columns 0 and `column` of a group's batch: the time column and one channel.
  PyRef select(PyObject* batch, size_t column) {
    PyRef indices = created(PyList_New(2));
    PyList_SET_ITEM(indices.get(), 0, created(PyLong_FromLong(0)).release());
    PyList_SET_ITEM(indices.get(), 1, created(PyLong_FromSize_t(column)).release());
    PyObject* args[] = {batch, indices.get()};
    return reported_as_runtime_error([&] {
      return call_pyarrow(
          [&] { return called(PyObject_VectorcallMethod(select_.get(), args, 2, nullptr)); });
    });
  }

  // Table.from_batches([batch]).
  PyRef table_of(PyRef batch) {
    PyRef list = created(PyList_New(1));
    PyList_SET_ITEM(list.get(), 0, batch.release());
    PyObject* args[] = {table_class_.get(), list.get()};
    return call_pyarrow(
        [&] { return called(PyObject_VectorcallMethod(from_batches_.get(), args, 2, nullptr)); });
  }

 private:
  // An interned name is found in the type's dictionaries by identity, without comparing text.
  static PyRef interned(const char* name) { return created(PyUnicode_InternFromString(name)); }

  PyRef import_stream(ArrowArrayStream* stream) {
    if (!import_from_c_) {
      PyRef pyarrow = called(PyImport_ImportModule("pyarrow"));
      PyRef reader_class = called(PyObject_GetAttrString(pyarrow.get(), "RecordBatchReader"));
      import_from_c_ = called(PyObject_GetAttrString(reader_class.get(), "_import_from_c"));
    }
    PyRef address = created(PyLong_FromVoidPtr(stream));
    PyObject* args[] = {address.get()};
    return call_pyarrow(
        [&] { return called(PyObject_Vectorcall(import_from_c_.get(), args, 1, nullptr)); });
  }

  PyRef table_class_;
  PyRef read_next_batch_;
  PyRef from_batches_;
  PyRef select_;
  PyRef import_from_c_;
};

void report_progress(PyObject* progress, size_t done, size_t total) {
  PyRef k = created(PyLong_FromSize_t(done));
  PyRef n = created(PyLong_FromSize_t(total));
  PyObject* args[] = {k.get(), n.get()};
  called(PyObject_Vectorcall(progress, args, 2, nullptr));
}

size_t channel_count(const ChannelSet& set) {
  size_t n = 0;
  for (const ChannelGroup& group : set) n += group.size();
  return n;
}

// Hands the channels over a group at a time: one import per group, then one table per channel,
// cut from the group's batch (the time column and that channel). Groups are a few megabytes, so
// a table kept alone keeps at most its group's memory alive.
void fill_channels(PyObject* channels, Telemetry& telemetry, PyarrowHandOff& hand_off,
                   PyObject* progress) {
  const size_t total = channel_count(telemetry.channels);
  size_t done = 0;
  for (ChannelGroup& group : telemetry.channels) {
    PyRef batch = hand_off.import_batch(channel_batch(telemetry.timecodes, telemetry.rows, group));
    for (size_t k = 0; k < group.size(); ++k) {
      PyRef table = hand_off.table_of(hand_off.select(batch.get(), k + 1));
      check(PyDict_SetItem(channels, text(group[k].var->name).get(), table.get()));
      ++done;
      if (progress != nullptr) report_progress(progress, done, total);
      check(PyErr_CheckSignals());
    }
    group.clear();
  }
}

PyRef assemble_log_file(PyRef channels, PyRef laps, PyRef metadata, const std::string& label) {
  PyRef base = called(PyImport_ImportModule("corvex.base"));
  PyRef log_file = called(PyObject_GetAttrString(base.get(), "LogFile"));
  PyRef source = text(label);
  PyObject* args[] = {channels.get(), laps.get(), metadata.get(), source.get()};
  return called(PyObject_Vectorcall(log_file.get(), args, 4, nullptr));
}

// The record pass without the interpreter lock; the lock is taken back now and then to let
// signal handlers run, and a handler that raises (Ctrl-C) stops the pass.
template <class Read>
Result<Telemetry> read_records(const IbtFile& file, ReadOptions options, Read read) {
  GilReleased released;
  options.pass.should_stop = [&released] {
    return released.with_gil([] { return PyErr_CheckSignals() != 0; });
  };
  return read(file, options);
}

PyarrowHandOff make_hand_off() {
  PyRef pyarrow = called(PyImport_ImportModule("pyarrow"));
  return PyarrowHandOff(called(PyObject_GetAttrString(pyarrow.get(), "Table")));
}

}  // namespace

PyRef import_schema(const ExportBatch& batch) {
  ArrowHolder<ArrowSchema> schema;
  if (auto made = export_schema(batch, schema.get()); !made) {
    raise_error(PyExc_MemoryError, made.error().message());
  }
  return reported_as_runtime_error([&] {
    PyRef pyarrow = called(PyImport_ImportModule("pyarrow"));
    PyRef schema_class = called(PyObject_GetAttrString(pyarrow.get(), "Schema"));
    PyRef import_from_c = called(PyObject_GetAttrString(schema_class.get(), "_import_from_c"));
    PyRef address = created(PyLong_FromVoidPtr(schema.get()));
    PyObject* args[] = {address.get()};
    return call_pyarrow(
        [&] { return called(PyObject_Vectorcall(import_from_c.get(), args, 1, nullptr)); });
  });
}

PyRef assemble_result(const AcquiredSource& source, PyObject* progress,
                      const ReadOptions& options) {
  // A failure of the time column or the channels ends the call here, before pyarrow is
  // imported; a lap failure is raised in its place, after the channels have been handed on.
  Telemetry telemetry =
      value_or_raise(read_records(source.file, options, read_telemetry), source.label, Stage::Read);
  check(PyErr_CheckSignals());
  PyarrowHandOff hand_off = make_hand_off();

  PyRef channels = created(PyDict_New());
  fill_channels(channels.get(), telemetry, hand_off, progress);

  LapTable lap_table = value_or_raise(std::move(telemetry.laps), source.label, Stage::Read);
  PyRef laps = hand_off.table_of(hand_off.import_batch(lap_batch(lap_table)));
  return assemble_log_file(std::move(channels), std::move(laps), build_metadata(source.file),
                           source.label.text);
}

PyRef assemble_arrays(const AcquiredSource& source, const ReadOptions& options) {
  Telemetry arrays =
      value_or_raise(read_records(source.file, options, read_arrays), source.label, Stage::Read);
  check(PyErr_CheckSignals());
  PyRef tables = created(PyDict_New());
  if (arrays.channels.empty()) return tables;
  PyarrowHandOff hand_off = make_hand_off();
  fill_channels(tables.get(), arrays, hand_off, nullptr);
  return tables;
}

}  // namespace corvex::py
