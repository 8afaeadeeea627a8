#include "extension/metadata.h"

#include "core/session_info.h"

namespace corvex::py {

namespace {

bool insert(PyObject* dict, std::string_view key, PyRef value) {
  PyRef name = text(key);
  return succeeded(PyDict_SetItem(dict, name.get(), value.get()));
}

}  // namespace

PyRef build_metadata(const IbtFile& file) {
  PyRef dict = created(PyDict_New());
  PyObject* d = dict.get();
  const std::string& info = file.session_info();
  if (!insert(d, "session_info_yaml", text(info))) return {};
  // A repeated key keeps the position of its first insertion and the value of its last.
  for (const WeekendField& field : scan_weekend_fields(info)) {
    if (!insert(d, field.key, text(field.value))) return {};
  }
  const bool ok =
      insert(d, "tick_rate", created(PyLong_FromLong(file.tick_rate()))) &&
      insert(d, "record_count", created(PyLong_FromUnsignedLongLong(file.record_count()))) &&
      insert(d, "lap_count", created(PyLong_FromLong(file.lap_count()))) &&
      insert(d, "session_start_date", created(PyLong_FromLongLong(file.session_start_date()))) &&
      insert(d, "start_time", created(PyFloat_FromDouble(file.start_time()))) &&
      insert(d, "end_time", created(PyFloat_FromDouble(file.end_time())));
  if (!ok) return {};
  return dict;
}

}  // namespace corvex::py
