#include "extension/readings.h"

#include <optional>

#include "core/byte_source.h"
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
    "read_arrays(source, *, salvage=False, identity=None)\n--\n\n"
    "The array variables (count > 1) of an IBT file: a dict of name -> pyarrow Table with the\n"
    "columns timecodes (int64 ms, the time base of the channels) and the variable, a\n"
    "fixed-size list of its count values per record whose field carries units, desc and\n"
    "interpolate. salvage reads cut or unclosed recordings as ibt_salvage does. identity, the\n"
    "(device, inode, size, mtime_ns) that read gave, refuses with RuntimeError (kind\n"
    "\"changed\") a path that no longer names that very file.";

const char kSnapshotDoc[] =
    "snapshot(source)\n--\n\n"
    "Read a live telemetry snapshot (the simulator's telemetry memory saved to a file): the\n"
    "record of the buffer with the newest tick count. Returns (LogFile, arrays, buffers):\n"
    "a LogFile of one record, the array tables as read_arrays gives them, and the buffer\n"
    "table as a dict with buffers (a list of (tick_count, offset)) and newest (its index).";

const char kProbeDoc[] =
    "probe(source, *, salvage=False)\n--\n\n"
    "Read and check the headers of an IBT file as ibt does, without its records, and raise as\n"
    "ibt raises. Returns a dict: header (the fixed header fields as stored), variables (one dict\n"
    "per variable header: name, desc, unit, type, arrow_type, offset, count), channels (the\n"
    "pyarrow.Schema of the channel fields ibt would return), session_info_bytes (the bytes the\n"
    "session info text is decoded from), raw (the fixed headers, the variable header block and\n"
    "the session info region as stored), file_size, whole_records (after the data offset),\n"
    "live_buffers (the buffer table when the file is a live snapshot, else None), identity\n"
    "((device, inode, size, mtime_ns) of a file read by path, else None) and salvage.";

const char kReadDoc[] =
    "read(source, progress=None, *, salvage=False, arrays=False, snapshot=False)\n--\n\n"
    "Read an IBT file as ibt (or ibt_salvage with salvage, or snapshot with snapshot) does, from\n"
    "one opening of the source. Returns (LogFile, details): details holds session_info_bytes,\n"
    "salvage, left_out (the variables of count other than 1, as probe lists variables),\n"
    "identity, file_size, whole_records, live_buffers, arrays (the array tables, read in the same\n"
    "opening with arrays or snapshot, else None) and snapshot (the buffer table, else None).";

namespace {

// (device, inode, size, mtime_ns), as probe and read give a file's identity.
FileIdentity identity_argument(PyObject* value) {
  unsigned long long device = 0, inode = 0, size = 0;
  long long mtime_ns = 0;
  if (!PyArg_ParseTuple(value, "KKKL;identity must be (device, inode, size, mtime_ns)", &device,
                        &inode, &size, &mtime_ns)) {
    fail();
  }
  return FileIdentity{device, inode, size, mtime_ns};
}

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
  static const char* keywords[] = {"source", "salvage", "identity", nullptr};
  PyObject* source_arg = nullptr;
  int salvage = 0;
  PyObject* identity_arg = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pO:read_arrays", const_cast<char**>(keywords),
                                   &source_arg, &salvage, &identity_arg)) {
    fail();
  }
  PyRef source = PyRef::borrow(source_arg);
  std::optional<FileIdentity> identity;
  if (identity_arg != Py_None) identity = identity_argument(identity_arg);
  const ReadOptions options = read_options_from_environment();
  OpenRequest request;
  request.any_path = true;
  request.options.salvage = salvage != 0;
  const AcquiredSource acquired = acquire_source(source.get(), request);
  if (identity) {
    if (auto same = check_identity(acquired.file.source(), *identity); !same) {
      raise_ibt_error(same.error(), acquired.label, Stage::Read);
    }
  }
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

namespace corvex::py {

PyObject* probe_call(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "salvage", nullptr};
  PyObject* source_arg = nullptr;
  int salvage = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:probe", const_cast<char**>(keywords),
                                   &source_arg, &salvage)) {
    fail();
  }
  PyRef source = PyRef::borrow(source_arg);
  OpenRequest request;
  request.any_path = true;
  request.options.salvage = salvage != 0;
  const AcquiredSource acquired = acquire_source(source.get(), request);
  Result<RawBlocks> blocks = [&] {
    GilReleased released;
    return read_raw_blocks(acquired.file);
  }();
  const RawBlocks raw = value_or_raise(std::move(blocks), acquired.label, Stage::Read);
  return probe_report(acquired.file, raw).release();
}

PyObject* read_call(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "progress", "salvage", "arrays", "snapshot", nullptr};
  PyObject* source_arg = nullptr;
  PyObject* progress_arg = Py_None;
  int salvage = 0, arrays = 0, snapshot = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$ppp:read", const_cast<char**>(keywords),
                                   &source_arg, &progress_arg, &salvage, &arrays, &snapshot)) {
    fail();
  }
  PyRef source = PyRef::borrow(source_arg);
  PyRef progress = PyRef::borrow(progress_arg == Py_None ? nullptr : progress_arg);
  const ReadOptions options = read_options_from_environment();
  OpenRequest request;
  request.any_path = true;
  request.options.salvage = salvage != 0;
  request.snapshot = snapshot != 0;
  const AcquiredSource acquired = acquire_source(source.get(), request);
  PyRef log = assemble_result(acquired, progress.get(), options);
  PyRef details = read_details(acquired.file);
  insert(
      details.get(), "arrays",
      arrays != 0 || snapshot != 0 ? assemble_arrays(acquired, options) : PyRef::borrow(Py_None));
  insert(details.get(), "snapshot", snapshot_report(acquired.file));
  return pair_or_triple(std::move(log), std::move(details)).release();
}

}  // namespace corvex::py
