#include "extension/metadata.h"

#include "core/session_info.h"
#include "core/tables.h"
#include "extension/assembly.h"

namespace corvex::py {

void insert(PyObject* dict, std::string_view key, PyRef value) {
  PyRef name = text(key);
  check(PyDict_SetItem(dict, name.get(), value.get()));
}

namespace {

PyRef integer(int64_t value) { return created(PyLong_FromLongLong(value)); }
PyRef count(uint64_t value) { return created(PyLong_FromUnsignedLongLong(value)); }

PyRef bytes_of(std::span<const uint8_t> data) {
  return created(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                           static_cast<Py_ssize_t>(data.size())));
}
PyRef bytes_of(const std::string& data) {
  return created(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

// The header fields under their names in the file format, as stored.
PyRef header_dict(const StoredHeader& h) {
  PyRef dict = created(PyDict_New());
  PyObject* d = dict.get();
  insert(d, "version", integer(h.version));
  insert(d, "tick_rate", integer(h.tick_rate));
  insert(d, "session_info_len", integer(h.session_info_len));
  insert(d, "session_info_offset", integer(h.session_info_offset));
  insert(d, "num_vars", integer(h.num_vars));
  insert(d, "var_header_offset", integer(h.var_header_offset));
  insert(d, "num_buf", integer(h.num_buf));
  insert(d, "buf_len", integer(h.buf_len));
  insert(d, "buf_offset", integer(h.buf_offset));
  insert(d, "session_start_date", integer(h.session_start_date));
  insert(d, "start_time", created(PyFloat_FromDouble(h.start_time)));
  insert(d, "end_time", created(PyFloat_FromDouble(h.end_time)));
  insert(d, "lap_count", integer(h.lap_count));
  insert(d, "session_record_count", integer(h.session_record_count));
  return dict;
}

// One dict per variable header that `keep` takes, in file order: name, desc, unit, type (the
// reader's name of the type: "Char", "Bool", "Int", "BitField", "Float", "Double"), arrow_type
// (the pyarrow type of one element), offset and count.
template <class Keep>
PyRef variable_list(const std::vector<VarHeader>& all, Keep keep) {
  std::vector<VarHeader> vars;
  for (const VarHeader& var : all) {
    if (keep(var)) vars.push_back(var);
  }
  PyRef list = created(PyList_New(0));
  if (vars.empty()) return list;
  PyRef schema = import_schema(variable_fields(vars));
  for (size_t i = 0; i < vars.size(); ++i) {
    const VarHeader& var = vars[i];
    PyRef field =
        called(PyObject_CallMethod(schema.get(), "field", "n", static_cast<Py_ssize_t>(i)));
    PyRef dict = created(PyDict_New());
    PyObject* d = dict.get();
    insert(d, "name", text(var.name));
    insert(d, "desc", text(var.desc));
    insert(d, "unit", text(var.unit));
    insert(d, "type", text(var_type_name(var.var_type)));
    insert(d, "arrow_type", called(PyObject_GetAttrString(field.get(), "type")));
    insert(d, "offset", integer(var.offset));
    insert(d, "count", integer(var.count));
    check(PyList_Append(list.get(), dict.get()));
  }
  return list;
}

PyRef live_buffers(const FileFacts& facts) {
  if (facts.live_buffers.empty()) return PyRef::borrow(Py_None);
  PyRef buffers = created(PyList_New(0));
  for (const LiveBuffer& buffer : facts.live_buffers) {
    PyRef pair = created(Py_BuildValue("(ii)", buffer.tick_count, buffer.offset));
    check(PyList_Append(buffers.get(), pair.get()));
  }
  return buffers;
}

// (device, inode, size, mtime_ns) of a file opened by path, else None.
PyRef identity_tuple(const IbtFile& file) {
  const std::optional<FileIdentity> id = file.source().identity();
  if (!id) return PyRef::borrow(Py_None);
  return created(Py_BuildValue("(KKKL)", static_cast<unsigned long long>(id->device),
                               static_cast<unsigned long long>(id->inode),
                               static_cast<unsigned long long>(id->size),
                               static_cast<long long>(id->mtime_ns)));
}

// What probe and read share.
void insert_file_facts(PyObject* d, const IbtFile& file) {
  const FileFacts& facts = file.facts();
  insert(d, "session_info_bytes", bytes_of(file.session_info_bytes()));
  insert(d, "salvage", salvage_report(file));
  insert(d, "file_size", count(file.source().size()));
  insert(d, "whole_records",
         facts.whole_records ? count(*facts.whole_records) : PyRef::borrow(Py_None));
  insert(d, "live_buffers", live_buffers(facts));
  insert(d, "identity", identity_tuple(file));
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

PyRef probe_report(const IbtFile& file, const RawBlocks& blocks) {
  PyRef dict = created(PyDict_New());
  PyObject* d = dict.get();
  insert(d, "header", header_dict(file.header()));
  insert(d, "variables", variable_list(file.vars(), [](const VarHeader&) { return true; }));
  insert(d, "channels", import_schema(channel_fields(file.vars())));
  insert_file_facts(d, file);
  PyRef raw = created(PyDict_New());
  insert(raw.get(), "headers", bytes_of(blocks.headers));
  insert(raw.get(), "variable_headers", bytes_of(blocks.var_headers));
  insert(raw.get(), "session_info", bytes_of(blocks.session_info));
  insert(d, "raw", std::move(raw));
  return dict;
}

PyRef read_details(const IbtFile& file) {
  PyRef dict = created(PyDict_New());
  PyObject* d = dict.get();
  insert_file_facts(d, file);
  insert(d, "left_out",
         variable_list(file.vars(), [](const VarHeader& var) { return var.count != 1; }));
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
