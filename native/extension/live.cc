#include "extension/live.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "core/laps.h"
#include "core/live.h"
#include "core/live_publish.h"
#include "core/tables.h"
#include "extension/errors.h"

namespace corvex::py {

const char kLiveOpenDoc[] =
    "live_open(path=None)\n--\n\n"
    "Open live telemetry for reading: the file at path (a file of the simulator's shared-memory\n"
    "layout), or, without a path, the simulator's shared memory (Windows). Returns a handle for\n"
    "live_read and live_status. Raises OSError when it cannot be opened.";

const char kLiveReadDoc[] =
    "live_read(handle, count=1, timeout=None, latest=False)\n--\n\n"
    "Read records as one pyarrow RecordBatch (timecodes and every variable, as the file reader\n"
    "gives them). latest=True: the newest record now. Otherwise up to count records in tick\n"
    "order, each once, from a thread that follows the writer from the first such call on,\n"
    "waiting at most timeout seconds (None: as long as it takes); fewer when the layout changes,\n"
    "the writer stops or the tick counts go back. Returns (batch, info), or None when nothing\n"
    "came; info has ticks, missed (ticks skipped), new_layout, restarted, ended (the writer\n"
    "stopped after these) and generation. The wait releases the GIL and Ctrl-C ends it.";

const char kLiveStatusDoc[] =
    "live_status(handle)\n--\n\n"
    "The header now: a dict with connected (the status flag) and, once a layout was read,\n"
    "generation, tick_rate, session_info (the text), session_info_update, variables, last_tick\n"
    "and missed (every tick skipped so far).";

const char kLiveReplayDoc[] =
    "live_replay(source, path=None, speed=1.0, first_tick=1, progress=None, lead_in=0.0)\n--\n\n"
    "Publish the IBT file at source into the simulator's shared-memory layout, tick by tick at\n"
    "its tick rate times speed (0: as fast as possible): into the file at path, or without a\n"
    "path into the simulator's named mapping (Windows), lead_in seconds after the layout.\n"
    "progress(done, total) is called now and then. Returns a dict with published, total,\n"
    "seconds and stopped; Ctrl-C stops it.";

const char kLapTableDoc[] =
    "lap_table(timecodes, lap, on_pit_road=None, lap_dist_pct=None)\n--\n\n"
    "The lap table of records given as columns (buffers of int64 ms, int32 lap numbers, uint8\n"
    "flags and float32 fractions), by the file reader's rules. Returns a pyarrow Table.";

namespace {

constexpr const char kCapsuleName[] = "corvex.live";

// Records a follower keeps for a consumer that does not take them (then the oldest are dropped
// and counted as missed): over a minute at 60 Hz.
constexpr uint64_t kFollowerCapacity = 4096;

// One open live memory: a reader for latest() and the header, and, from the first read of
// records in order on, a follower that drains the ring on its own thread. Reads take `mutex` with
// the interpreter lock released; the schema caches are touched only with the lock held.
struct LiveHandle {
  explicit LiveHandle(std::shared_ptr<SharedMemory> source_memory, SourceLabel source)
      : memory(std::move(source_memory)), reader(memory), label(std::move(source)) {}
  std::shared_ptr<SharedMemory> memory;
  std::mutex mutex;
  LiveReader reader;
  std::unique_ptr<LiveFollower> follower;
  SourceLabel label;
  // The imported schema of the last layout of the reader [0] and of the follower [1].
  uint64_t schema_generation[2] = {0, 0};
  PyRef schema[2];
  // latest()'s records are rows of this block; `block_batch` is the block `imported` as pyarrow
  // has it (another thread may have started a new block meanwhile).
  std::shared_ptr<LiveBlock> block;
  std::shared_ptr<LiveBlock> imported;  // held, so that no new block can take its address
  PyRef block_batch;
};

// Records a block of latest() holds: one import of a layout's columns serves this many.
constexpr uint64_t kBlockSlots = 256;

using HandleRef = std::shared_ptr<LiveHandle>;

void destroy_capsule(PyObject* capsule) {
  // Owned by the capsule since live_open; in-flight reads keep their own reference.
  std::unique_ptr<HandleRef> owned(
      static_cast<HandleRef*>(PyCapsule_GetPointer(capsule, kCapsuleName)));
}

HandleRef handle_of(PyObject* capsule) {
  auto* ref = static_cast<HandleRef*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (ref == nullptr) fail();
  return *ref;
}

// Seconds (None: forever) as milliseconds for WaitOptions.
int64_t timeout_ms(PyObject* timeout) {
  if (timeout == Py_None) return -1;
  const double seconds = PyFloat_AsDouble(timeout);
  if (seconds == -1.0 && PyErr_Occurred()) fail();
  if (!(seconds >= 0)) raise_error(PyExc_ValueError, "timeout must be None or non-negative");
  return static_cast<int64_t>(seconds * 1000.0);
}

// Releases an ArrowArray that pyarrow did not take over.
struct ArrayHolder {
  ArrowArray array{};
  ArrayHolder() { array.release = nullptr; }
  ArrayHolder(const ArrayHolder&) = delete;
  ArrayHolder& operator=(const ArrayHolder&) = delete;
  ~ArrayHolder() {
    if (array.release != nullptr) array.release(&array);
  }
};
struct SchemaHolder {
  ArrowSchema schema{};
  SchemaHolder() { schema.release = nullptr; }
  SchemaHolder(const SchemaHolder&) = delete;
  SchemaHolder& operator=(const SchemaHolder&) = delete;
  ~SchemaHolder() {
    if (schema.release != nullptr) schema.release(&schema);
  }
};

PyRef pyarrow_attr(const char* owner, const char* name) {
  PyRef pyarrow = called(PyImport_ImportModule("pyarrow"));
  PyRef type = called(PyObject_GetAttrString(pyarrow.get(), owner));
  return called(PyObject_GetAttrString(type.get(), name));
}

// The schema of a layout is imported once; each batch imports only its arrays against it.
PyRef import_batch(LiveHandle& handle, const ExportBatch& batch, uint64_t generation,
                   size_t which) {
  PyRef& cached = handle.schema[which];
  if (!cached || handle.schema_generation[which] != generation) {
    SchemaHolder schema;
    if (auto made = export_schema(batch, &schema.schema); !made) {
      raise_ibt_error(made.error(), handle.label, Stage::Read);
    }
    PyRef importer = pyarrow_attr("Schema", "_import_from_c");
    PyRef address = created(PyLong_FromVoidPtr(&schema.schema));
    cached = called(PyObject_CallOneArg(importer.get(), address.get()));
    handle.schema_generation[which] = generation;
  }
  ArrayHolder array;
  if (auto made = export_array(batch, &array.array); !made) {
    raise_ibt_error(made.error(), handle.label, Stage::Read);
  }
  PyRef importer = pyarrow_attr("RecordBatch", "_import_from_c");
  PyRef address = created(PyLong_FromVoidPtr(&array.array));
  PyObject* args[] = {address.get(), cached.get()};
  return called(PyObject_Vectorcall(importer.get(), args, 2, nullptr));
}

void insert(PyObject* dict, const char* key, PyRef value) {
  check(PyDict_SetItemString(dict, key, value.get()));
}

PyRef records_info(const LiveRecords& records) {
  PyRef info = created(PyDict_New());
  PyRef ticks = created(PyList_New(static_cast<Py_ssize_t>(records.count())));
  for (size_t i = 0; i < records.ticks.size(); ++i) {
    PyList_SET_ITEM(ticks.get(), static_cast<Py_ssize_t>(i),
                    created(PyLong_FromLong(records.ticks[i])).release());
  }
  insert(info.get(), "ticks", std::move(ticks));
  insert(info.get(), "missed", created(PyLong_FromUnsignedLongLong(records.missed)));
  insert(info.get(), "new_layout", PyRef::borrow(records.new_layout ? Py_True : Py_False));
  insert(info.get(), "restarted", PyRef::borrow(records.restarted ? Py_True : Py_False));
  insert(info.get(), "ended", PyRef::borrow(records.ended ? Py_True : Py_False));
  insert(info.get(), "generation",
         created(PyLong_FromUnsignedLongLong(records.layout->generation)));
  return info;
}

}  // namespace

PyObject* live_open_call(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", nullptr};
  PyObject* path_arg = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:live_open", const_cast<char**>(keywords),
                                   &path_arg)) {
    fail();
  }
  std::string path;
  if (path_arg != Py_None) {
    PyRef fspath = called(PyOS_FSPath(path_arg));
    if (!PyUnicode_Check(fspath.get())) {
      raise_error(PyExc_TypeError, "live_open() takes a str path or None");
    }
    path = std::string(utf8_of(fspath.get()));
  }
  SourceLabel label{path.empty() ? std::string("the simulator's shared memory") : path, true};
  Result<std::unique_ptr<SharedMemory>> memory = [&] {
    GilReleased released;
    return path.empty() ? open_live_mapping() : open_live_file(path);
  }();
  std::unique_ptr<SharedMemory> opened = value_or_raise(std::move(memory), label, Stage::Open);
  auto owned = std::make_unique<HandleRef>(
      std::make_shared<LiveHandle>(std::shared_ptr<SharedMemory>(std::move(opened)), label));
  PyObject* capsule = PyCapsule_New(owned.get(), kCapsuleName, destroy_capsule);
  if (capsule == nullptr) fail();
  [[maybe_unused]] HandleRef* kept = owned.release();  // the capsule owns it now
  return capsule;
}

namespace {

// The newest record as a one-row slice of the handle's block: the C++ part (the copy, the row
// written) without the interpreter lock, then the block imported when it is new, and sliced.
PyObject* read_latest(const HandleRef& handle) {
  Result<LiveRecords> records = std::unexpected(IbtError::cancelled());
  Result<uint64_t> row = std::unexpected(IbtError::cancelled());
  std::shared_ptr<LiveBlock> block;  // the block this record went into
  {
    GilReleased released;
    const std::lock_guard<std::mutex> lock(handle->mutex);
    records = handle->reader.latest();
    if (records) {
      block = handle->block;
      if (!block || block->full() || block->layout() != records->layout) {
        auto made = LiveBlock::make(records->layout, kBlockSlots);
        block = made ? std::make_shared<LiveBlock>(std::move(*made)) : nullptr;
        handle->block = block;
        if (!made) row = std::unexpected(std::move(made).error());
      }
      if (block) row = block->put(records->record(0));
    }
  }
  LiveRecords read = value_or_raise(std::move(records), handle->label, Stage::Read);
  const uint64_t at = value_or_raise(std::move(row), handle->label, Stage::Read);
  if (handle->imported != block) {
    handle->block_batch = import_batch(*handle, block->batch(), block->layout()->generation, 0);
    handle->imported = block;
  }
  PyRef offset = created(PyLong_FromUnsignedLongLong(at));
  PyRef length = created(PyLong_FromLong(1));
  PyRef name = text("slice");
  PyObject* call_args[] = {handle->block_batch.get(), offset.get(), length.get()};
  PyRef slice = called(PyObject_VectorcallMethod(name.get(), call_args,
                                                 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  PyRef pair = created(PyTuple_New(2));
  PyTuple_SET_ITEM(pair.get(), 0, slice.release());
  PyTuple_SET_ITEM(pair.get(), 1, records_info(read).release());
  return pair.release();
}

}  // namespace

PyObject* live_read_call(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"handle", "count", "timeout", "latest", nullptr};
  PyObject* capsule = nullptr;
  Py_ssize_t count = 1;
  PyObject* timeout = Py_None;
  int latest = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|nOp:live_read", const_cast<char**>(keywords),
                                   &capsule, &count, &timeout, &latest)) {
    fail();
  }
  if (count < 1) raise_error(PyExc_ValueError, "count must be at least 1");
  HandleRef handle = handle_of(capsule);
  if (latest != 0) return read_latest(handle);
  WaitOptions options;
  options.timeout_ms = timeout_ms(timeout);
  Result<LiveRecords> records = std::unexpected(IbtError::cancelled());
  Result<ExportBatch> batch = std::unexpected(IbtError::cancelled());
  {
    GilReleased released;
    options.should_stop = [&released] {
      return released.with_gil([] { return PyErr_CheckSignals() != 0; });
    };
    const std::lock_guard<std::mutex> lock(handle->mutex);
    if (!handle->follower) {
      handle->follower = std::make_unique<LiveFollower>(handle->memory, kFollowerCapacity);
    }
    records = handle->follower->next(static_cast<uint64_t>(count), options);
    if (records && records->count() > 0) batch = live_batch(*records);
  }
  LiveRecords read = value_or_raise(std::move(records), handle->label, Stage::Read);
  if (read.count() == 0) return Py_NewRef(Py_None);
  ExportBatch columns = value_or_raise(std::move(batch), handle->label, Stage::Read);
  PyRef imported = import_batch(*handle, columns, read.layout->generation, 1);
  PyRef pair = created(PyTuple_New(2));
  PyTuple_SET_ITEM(pair.get(), 0, imported.release());
  PyTuple_SET_ITEM(pair.get(), 1, records_info(read).release());
  return pair.release();
}

PyObject* live_status_call(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"handle", nullptr};
  PyObject* capsule = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:live_status", const_cast<char**>(keywords),
                                   &capsule)) {
    fail();
  }
  HandleRef handle = handle_of(capsule);
  Result<bool> connected = false;
  std::shared_ptr<const LiveLayout> layout;
  std::optional<int32_t> last_tick;
  uint64_t missed = 0;
  {
    GilReleased released;
    const std::lock_guard<std::mutex> lock(handle->mutex);
    connected = handle->reader.connected();
    layout = handle->reader.layout();
    last_tick = handle->follower ? handle->follower->last_tick() : handle->reader.last_tick();
    missed = handle->follower ? handle->follower->missed_total() : 0;
  }
  const bool on = value_or_raise(std::move(connected), handle->label, Stage::Read);
  PyRef status = created(PyDict_New());
  insert(status.get(), "connected", PyRef::borrow(on ? Py_True : Py_False));
  insert(status.get(), "missed", created(PyLong_FromUnsignedLongLong(missed)));
  insert(status.get(), "last_tick",
         last_tick ? created(PyLong_FromLong(*last_tick)) : PyRef::borrow(Py_None));
  if (layout) {
    insert(status.get(), "generation", created(PyLong_FromUnsignedLongLong(layout->generation)));
    insert(status.get(), "tick_rate", created(PyLong_FromLong(layout->tick_rate())));
    insert(status.get(), "session_info", text(layout->file.session_info()));
    insert(status.get(), "session_info_update",
           created(PyLong_FromLong(layout->session_info_update)));
    insert(status.get(), "variables", created(PyLong_FromSize_t(layout->file.vars().size())));
  }
  return status.release();
}

PyObject* live_replay_call(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source",   "path",    "speed", "first_tick",
                                   "progress", "lead_in", nullptr};
  PyObject* source_arg = nullptr;
  PyObject* path_arg = Py_None;
  double speed = 1.0;
  int first_tick = 1;
  PyObject* progress = Py_None;
  double lead_in = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OdiOd:live_replay",
                                   const_cast<char**>(keywords), &source_arg, &path_arg, &speed,
                                   &first_tick, &progress, &lead_in)) {
    fail();
  }
  if (!(speed >= 0)) raise_error(PyExc_ValueError, "speed must be 0 (as fast as possible) or more");
  auto path_of = [](PyObject* object) {
    PyRef fspath = called(PyOS_FSPath(object));
    if (!PyUnicode_Check(fspath.get())) raise_error(PyExc_TypeError, "paths must be str");
    return std::string(utf8_of(fspath.get()));
  };
  const std::string source = path_of(source_arg);
  const std::string target = path_arg == Py_None ? std::string() : path_of(path_arg);
  const SourceLabel source_label{source, true};
  const SourceLabel target_label{
      target.empty() ? std::string("the simulator's shared memory") : target, true};
  PyRef progress_ref = PyRef::borrow(progress == Py_None ? nullptr : progress);

  Result<IbtFile> file = [&] {
    GilReleased released;
    auto opened = open_file(source);
    if (!opened) return Result<IbtFile>(std::unexpected(std::move(opened).error()));
    return open_ibt(std::move(*opened));
  }();
  IbtFile opened = value_or_raise(std::move(file), source_label, Stage::Open);
  Result<std::unique_ptr<SharedMemory>> memory = [&] {
    GilReleased released;
    return target.empty() ? create_live_mapping(0) : create_live_file(target);
  }();
  std::unique_ptr<SharedMemory> created_memory =
      value_or_raise(std::move(memory), target_label, Stage::Open);

  bool callback_failed = false;
  Result<ReplayReport> report = std::unexpected(IbtError::cancelled());
  {
    GilReleased released;
    ReplayOptions options;
    options.speed = speed;
    options.first_tick = first_tick;
    options.lead_in = lead_in;
    options.should_stop = [&] {
      return callback_failed || released.with_gil([] { return PyErr_CheckSignals() != 0; });
    };
    if (progress_ref) {
      options.progress = [&](uint64_t done, uint64_t total) {
        if (callback_failed) return;
        released.with_gil([&] {
          PyRef k = PyRef::steal(PyLong_FromUnsignedLongLong(done));
          PyRef n = PyRef::steal(PyLong_FromUnsignedLongLong(total));
          PyObject* call_args[] = {k.get(), n.get()};
          PyRef result = PyRef::steal(
              k && n ? PyObject_Vectorcall(progress_ref.get(), call_args, 2, nullptr) : nullptr);
          if (!result) callback_failed = true;  // its exception stays pending
        });
      };
    }
    report = replay(opened, std::move(created_memory), options);
  }
  if (callback_failed || (report && report->stopped && PyErr_Occurred())) throw PythonError{};
  const ReplayReport done = value_or_raise(std::move(report), target_label, Stage::Read);
  PyRef out = created(PyDict_New());
  insert(out.get(), "published", created(PyLong_FromUnsignedLongLong(done.published)));
  insert(out.get(), "total", created(PyLong_FromUnsignedLongLong(opened.record_count())));
  insert(out.get(), "seconds", created(PyFloat_FromDouble(done.seconds)));
  insert(out.get(), "stopped", PyRef::borrow(done.stopped ? Py_True : Py_False));
  return out.release();
}

namespace {

// A read-only C-contiguous buffer of `itemsize`-byte items, or an empty span for None.
class ColumnView {
 public:
  ColumnView(PyObject* object, Py_ssize_t itemsize, const char* name) {
    if (object == Py_None) return;
    if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS) != 0) fail();
    held_ = true;
    if (view_.len % itemsize != 0) {
      raise_error(PyExc_TypeError,
                  std::string(name) + " must hold " + std::to_string(itemsize) + "-byte values");
    }
  }
  ColumnView(const ColumnView&) = delete;
  ColumnView& operator=(const ColumnView&) = delete;
  ~ColumnView() {
    if (held_) PyBuffer_Release(&view_);
  }
  template <class T>
  std::span<const T> values() const {
    if (!held_) return {};
    return {static_cast<const T*>(view_.buf), static_cast<size_t>(view_.len) / sizeof(T)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace

PyObject* lap_table_call(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"timecodes", "lap", "on_pit_road", "lap_dist_pct", nullptr};
  PyObject *times_arg = nullptr, *lap_arg = nullptr, *pit_arg = Py_None, *pct_arg = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:lap_table", const_cast<char**>(keywords),
                                   &times_arg, &lap_arg, &pit_arg, &pct_arg)) {
    fail();
  }
  const ColumnView times(times_arg, 8, "timecodes");
  const ColumnView laps(lap_arg, 4, "lap");
  const ColumnView pit(pit_arg, 1, "on_pit_road");
  const ColumnView pct(pct_arg, 4, "lap_dist_pct");
  Result<LapTable> table = lap_table_of(times.values<int64_t>(), laps.values<int32_t>(),
                                        pit.values<uint8_t>(), pct.values<float>());
  const SourceLabel label{"<columns>", false};
  LapTable made = value_or_raise(std::move(table), label, Stage::Read);
  ExportBatch batch = lap_batch(made);
  ArrayHolder array;
  SchemaHolder schema;
  if (auto ok = export_schema(batch, &schema.schema); !ok)
    raise_ibt_error(ok.error(), label, Stage::Read);
  if (auto ok = export_array(batch, &array.array); !ok)
    raise_ibt_error(ok.error(), label, Stage::Read);
  PyRef importer = pyarrow_attr("RecordBatch", "_import_from_c");
  PyRef array_address = created(PyLong_FromVoidPtr(&array.array));
  PyRef schema_address = created(PyLong_FromVoidPtr(&schema.schema));
  PyObject* import_args[] = {array_address.get(), schema_address.get()};
  PyRef record_batch = called(PyObject_Vectorcall(importer.get(), import_args, 2, nullptr));
  PyRef from_batches = pyarrow_attr("Table", "from_batches");
  PyRef list = created(PyList_New(1));
  PyList_SET_ITEM(list.get(), 0, record_batch.release());
  return called(PyObject_CallOneArg(from_batches.get(), list.get())).release();
}

}  // namespace corvex::py
