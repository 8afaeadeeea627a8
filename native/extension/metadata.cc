#include "extension/metadata.h"

#include "core/session_info.h"

namespace corvex::py {

namespace {

void insert(PyObject* dict, std::string_view key, PyRef value) {
  PyRef name = text(key);
  check(PyDict_SetItem(dict, name.get(), value.get()));
}

}  // namespace

PyRef build_metadata(const IbtFile& file) {
  PyRef dict = created(PyDict_New());
  PyObject* d = dict.get();
  const std::string& info = file.session_info();
  insert(d, "session_info_yaml", text(info));
  // A repeated key keeps the position of its first insertion and the value of its last.
  for (const WeekendField& field : scan_weekend_fields(info)) {
    insert(d, field.key, text(field.value));
  }
  insert(d, "tick_rate", created(PyLong_FromLong(file.tick_rate())));
  insert(d, "record_count", created(PyLong_FromUnsignedLongLong(file.record_count())));
  insert(d, "lap_count", created(PyLong_FromLong(file.lap_count())));
  insert(d, "session_start_date", created(PyLong_FromLongLong(file.session_start_date())));
  insert(d, "start_time", created(PyFloat_FromDouble(file.start_time())));
  insert(d, "end_time", created(PyFloat_FromDouble(file.end_time())));
  return dict;
}

PyRef salvage_report(const IbtFile& file) {
  const SalvageReport& report = file.salvage();
  if (!report.applied) return PyRef::borrow(Py_None);
  PyRef dict = created(PyDict_New());
  insert(dict.get(), "header_records", created(PyLong_FromUnsignedLongLong(report.header_records)));
  insert(dict.get(), "records", created(PyLong_FromUnsignedLongLong(file.record_count())));
  insert(dict.get(), "dropped_bytes", created(PyLong_FromUnsignedLongLong(report.dropped_bytes)));
  return dict;
}

PyRef snapshot_report(const IbtFile& file) {
  const auto& snapshot = file.snapshot();
  if (!snapshot) return PyRef::borrow(Py_None);
  PyRef buffers = created(PyList_New(0));
  for (const LiveBuffer& buffer : snapshot->buffers) {
    PyRef pair = created(Py_BuildValue("(ii)", buffer.tick_count, buffer.offset));
    check(PyList_Append(buffers.get(), pair.get()));
  }
  PyRef dict = created(PyDict_New());
  insert(dict.get(), "buffers", std::move(buffers));
  insert(dict.get(), "newest", created(PyLong_FromSize_t(snapshot->newest)));
  return dict;
}

}  // namespace corvex::py
