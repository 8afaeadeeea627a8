#include "extension/readings.h"

#include "extension/assembly.h"
#include "extension/metadata.h"
#include "extension/options.h"
#include "extension/source.h"

namespace corvex::py {

const char kIbtSalvageDoc[] =
    "ibt_salvage(source, progress=None)\n--\n\n"
    "Read an IBT file like ibt, and also the whole records present in a recording that was cut\n"
    "(the header counts more records than the file holds) or never closed (the header counts 0\n"
    "while records follow). Returns (LogFile, report): report is None when the header's count\n"
    "was used, otherwise a dict with header_records, records and dropped_bytes (the bytes of a\n"
    "half record after the last whole one).";

const char kReadArraysDoc[] =
    "read_arrays(source, *, salvage=False)\n--\n\n"
    "The array variables (count > 1) of an IBT file: a dict of name -> pyarrow Table with the\n"
    "columns timecodes (int64 ms, the time base of the channels) and the variable, a\n"
    "fixed-size list of its count values per record whose field carries units, desc and\n"
    "interpolate. salvage reads cut or unclosed recordings as ibt_salvage does.";

const char kSnapshotDoc[] =
    "snapshot(source)\n--\n\n"
    "Read a live telemetry snapshot (the simulator's telemetry memory saved to a file): the\n"
    "record of the buffer with the newest tick count. Returns (LogFile, arrays, buffers):\n"
    "a LogFile of one record, the array tables as read_arrays gives them, and the buffer\n"
    "table as a dict with buffers (a list of (tick_count, offset)) and newest (its index).";

namespace {

PyRef pair_or_triple(PyRef a, PyRef b, PyRef c = {}) {
  const bool three = static_cast<bool>(c);
  PyRef tuple = created(PyTuple_New(three ? 3 : 2));
  PyTuple_SET_ITEM(tuple.get(), 0, a.release());
  PyTuple_SET_ITEM(tuple.get(), 1, b.release());
  if (three) PyTuple_SET_ITEM(tuple.get(), 2, c.release());
  return tuple;
}

}  // namespace

PyObject* ibt_salvage_call(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "progress", nullptr};
  PyObject* source_arg = nullptr;
  PyObject* progress_arg = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:ibt_salvage", const_cast<char**>(keywords),
                                   &source_arg, &progress_arg)) {
    fail();
  }
  PyRef source = PyRef::borrow(source_arg);
  PyRef progress = PyRef::borrow(progress_arg == Py_None ? nullptr : progress_arg);
  const ReadOptions options = read_options_from_environment();
  OpenRequest request;
  request.options.salvage = true;
  const AcquiredSource acquired = acquire_source(source.get(), request);
  PyRef log = assemble_result(acquired, progress.get(), options);
  return pair_or_triple(std::move(log), salvage_report(acquired.file)).release();
}

PyObject* read_arrays_call(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "salvage", nullptr};
  PyObject* source_arg = nullptr;
  int salvage = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:read_arrays", const_cast<char**>(keywords),
                                   &source_arg, &salvage)) {
    fail();
  }
  PyRef source = PyRef::borrow(source_arg);
  const ReadOptions options = read_options_from_environment();
  OpenRequest request;
  request.options.salvage = salvage != 0;
  const AcquiredSource acquired = acquire_source(source.get(), request);
  return assemble_arrays(acquired, options).release();
}

PyObject* snapshot_call(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", nullptr};
  PyObject* source_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:snapshot", const_cast<char**>(keywords),
                                   &source_arg)) {
    fail();
  }
  PyRef source = PyRef::borrow(source_arg);
  const ReadOptions options = read_options_from_environment();
  OpenRequest request;
  request.snapshot = true;
  const AcquiredSource acquired = acquire_source(source.get(), request);
  PyRef log = assemble_result(acquired, nullptr, options);
  PyRef arrays = assemble_arrays(acquired, options);
  return pair_or_triple(std::move(log), std::move(arrays), snapshot_report(acquired.file))
      .release();
}

}  // namespace corvex::py
