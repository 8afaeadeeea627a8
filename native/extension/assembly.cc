#include "extension/assembly.h"

#include <arrow/c/abi.h>
#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>

#include <optional>

#include "core/telemetry.h"
#include "extension/metadata.h"

namespace corvex::py {

namespace {

void raise_ibt_error(const IbtError& error) { set_error(PyExc_RuntimeError, error.display()); }

// Replaces the pending exception with RuntimeError("{type}: {text}"), the form in which a failed
// hand-off to pyarrow is reported.
void reraise_as_runtime_error() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return set_error(PyExc_RuntimeError, "unknown error in the pyarrow hand-off");
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
  set_error(PyExc_RuntimeError, message);
}

// Owns an ArrowArrayStream until pyarrow takes it over; releases it if pyarrow never did.
class StreamHolder {
 public:
  StreamHolder() { stream_.release = nullptr; }
  StreamHolder(const StreamHolder&) = delete;
  StreamHolder& operator=(const StreamHolder&) = delete;
  ~StreamHolder() {
    if (stream_.release != nullptr) stream_.release(&stream_);
  }
  ArrowArrayStream* get() { return &stream_; }

 private:
  ArrowArrayStream stream_;
};

// Per call: pyarrow's Table class, the two method names and, once the first batch is handed
// over, the stream importer. The names are made once per call rather than once per channel.
class PyarrowHandOff {
 public:
  explicit PyarrowHandOff(PyRef table_class)
      : table_class_(std::move(table_class)),
        read_next_batch_(interned("read_next_batch")),
        from_batches_(interned("from_batches")) {}

  // export_batch: one batch through a one-batch C stream; the buffers are shared, not copied.
  // A failure on the pyarrow side is reported as RuntimeError("{type}: {text}").
  PyRef export_batch(const std::shared_ptr<arrow::RecordBatch>& batch) {
    StreamHolder stream;
    auto reader = arrow::RecordBatchReader::Make({batch}, batch->schema());
    auto status =
        reader.ok() ? arrow::ExportRecordBatchReader(*reader, stream.get()) : reader.status();
    if (!status.ok()) {
      raise_ibt_error(IbtError::arrow(std::move(status)));
      return {};
    }
    PyRef imported = import_stream(stream.get());
    PyRef exported;
    if (imported) {
      PyObject* args[] = {imported.get()};
      exported = called(PyObject_VectorcallMethod(read_next_batch_.get(), args, 1, nullptr));
    }
    if (!exported) reraise_as_runtime_error();
    return exported;
  }

  // to_pyarrow_table: the exported batch wrapped by Table.from_batches([batch]).
  PyRef to_pyarrow_table(const std::shared_ptr<arrow::RecordBatch>& batch) {
    PyRef exported = export_batch(batch);
    if (!exported) return {};
    PyRef list = created(PyList_New(1));
    PyList_SET_ITEM(list.get(), 0, exported.release());
    PyObject* args[] = {table_class_.get(), list.get()};
    return called(PyObject_VectorcallMethod(from_batches_.get(), args, 2, nullptr));
  }

 private:
  // An interned name is found in the type's dictionaries by identity, without comparing text.
  static PyRef interned(const char* name) { return created(PyUnicode_InternFromString(name)); }

  PyRef import_stream(ArrowArrayStream* stream) {
    if (!import_from_c_) {
      PyRef pyarrow = called(PyImport_ImportModule("pyarrow"));
      if (!pyarrow) return {};
      PyRef reader_class = called(PyObject_GetAttrString(pyarrow.get(), "RecordBatchReader"));
      if (!reader_class) return {};
      import_from_c_ = called(PyObject_GetAttrString(reader_class.get(), "_import_from_c"));
      if (!import_from_c_) return {};
    }
    PyRef address = created(PyLong_FromVoidPtr(stream));
    PyObject* args[] = {address.get()};
    return called(PyObject_Vectorcall(import_from_c_.get(), args, 1, nullptr));
  }

  PyRef table_class_;
  PyRef read_next_batch_;
  PyRef from_batches_;
  PyRef import_from_c_;
};

bool report_progress(PyObject* progress, size_t done, size_t total) {
  PyRef k = created(PyLong_FromUnsignedLongLong(done));
  PyRef n = created(PyLong_FromUnsignedLongLong(total));
  PyObject* args[] = {k.get(), n.get()};
  return static_cast<bool>(called(PyObject_Vectorcall(progress, args, 2, nullptr)));
}

// Hands the tables over one at a time, so that at most one channel's pyarrow batch is held
// outside the dictionary.
bool fill_channels(PyObject* channels, ChannelSet& set, PyarrowHandOff& hand_off,
                   PyObject* progress) {
  const size_t n = set.size();
  for (size_t k = 0; k < n; ++k) {
    auto& [name, batch] = set[k];
    PyRef table = hand_off.to_pyarrow_table(batch);
    if (!table) return false;
    if (!succeeded(PyDict_SetItem(channels, text(name).get(), table.get()))) return false;
    batch.reset();
    if (progress != nullptr && !report_progress(progress, k + 1, n)) return false;
  }
  return true;
}

PyRef assemble_log_file(PyRef channels, PyRef laps, PyRef metadata, const std::string& label) {
  PyRef base = called(PyImport_ImportModule("corvex.base"));
  if (!base) return {};
  PyRef log_file = called(PyObject_GetAttrString(base.get(), "LogFile"));
  if (!log_file) return {};
  PyRef source = text(label);
  PyObject* args[] = {channels.get(), laps.get(), metadata.get(), source.get()};
  return called(PyObject_Vectorcall(log_file.get(), args, 4, nullptr));
}

}  // namespace

PyRef assemble_result(const IbtFile& file, const std::string& label, PyObject* progress) {
  // The time column, the channel set and the lap table come from one pass over the records; a
  // failure of the time column or the channels ends the call here, before pyarrow is imported,
  // and a lap failure is raised in its place, after the channels have been handed on.
  auto telemetry = read_telemetry(file);
  if (!telemetry) {
    raise_ibt_error(telemetry.error());
    return {};
  }
  PyRef pyarrow = called(PyImport_ImportModule("pyarrow"));
  if (!pyarrow) return {};
  PyRef table_class = called(PyObject_GetAttrString(pyarrow.get(), "Table"));
  if (!table_class) return {};
  PyarrowHandOff hand_off(std::move(table_class));

  PyRef channels = created(PyDict_New());
  if (!fill_channels(channels.get(), telemetry->channels, hand_off, progress)) return {};

  if (!telemetry->laps) {
    raise_ibt_error(telemetry->laps.error());
    return {};
  }
  PyRef laps = hand_off.to_pyarrow_table(*telemetry->laps);
  if (!laps) return {};
  PyRef metadata = build_metadata(file);
  if (!metadata) return {};
  return assemble_log_file(std::move(channels), std::move(laps), std::move(metadata), label);
}

}  // namespace corvex::py
