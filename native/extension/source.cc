#include "extension/source.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/byte_source.h"
#include "core/snapshot.h"

namespace corvex::py {

namespace {

enum class Answer { Yes, No, Error };

// An attribute lookup that raises AttributeError means "no"; anything else it raises is an error.
Answer has_attribute(PyObject* object, const char* name) {
  PyRef value = called(PyObject_GetAttrString(object, name));
  if (value) return Answer::Yes;
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return Answer::No;
  }
  return Answer::Error;
}

std::optional<std::string_view> utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<size_t>(size));
}

// Holds the caller's buffer while it is read or copied; only exact bytes, bytearray and 1-D
// C-contiguous memoryviews of unsigned bytes qualify, whose elements are exactly their bytes.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  bool acquire(PyObject* object) {
    const bool plain = PyBytes_CheckExact(object) || PyByteArray_CheckExact(object);
    if (!plain && !PyMemoryView_Check(object)) return false;
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_ND) != 0) {
      if (pending_is_fatal()) return false;
      PyErr_Clear();  // the element-by-element rule decides what this object is
      return false;
    }
    held_ = true;
    // Python iterates a memoryview as integers only for the native formats "B" and "@B".
    const bool unsigned_bytes = view_.format == nullptr || std::string_view(view_.format) == "B" ||
                                std::string_view(view_.format) == "@B";
    return plain || (view_.ndim == 1 && view_.itemsize == 1 && unsigned_bytes &&
                     PyBuffer_IsContiguous(&view_, 'C'));
  }

  std::span<const uint8_t> bytes() const {
    return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The element-by-element rule: a sequence (not a str) whose elements are integers 0 to 255.
// Its TypeError and OverflowError messages (and the source-kind messages further down) are
// matched word for word by callers and tests, odd as their wording looks here: keep them.
std::optional<std::vector<uint8_t>> extract_elements(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(object)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                 Py_TYPE(object)->tp_name);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    if (pending_is_fatal()) return std::nullopt;
    PyErr_Clear();
  } else {
    // A length is only a hint: an object may claim far more items than it yields.
    constexpr Py_ssize_t kMostReserved = Py_ssize_t{1} << 26;
    bytes.reserve(static_cast<size_t>(std::min(hint, kMostReserved)));
  }
  PyRef iterator = called(PyObject_GetIter(object));
  if (!iterator) return std::nullopt;
  // Iterating a list or a tuple runs no bytecode, so nothing else looks for Ctrl-C meanwhile.
  constexpr size_t kSignalCheckEvery = size_t{1} << 20;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (bytes.size() % kSignalCheckEvery == kSignalCheckEvery - 1 &&
        !succeeded(PyErr_CheckSignals())) {
      return std::nullopt;
    }
    const long value = PyLong_AsLong(item.get());
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (value < 0 || value > 255) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return std::nullopt;
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return bytes;
}

std::optional<AcquiredSource> opened(Result<IbtFile> file, SourceLabel label, PyRef keep_alive) {
  if (!file) {
    raise_ibt_error(file.error(), label, Stage::Open);
    return std::nullopt;
  }
  return AcquiredSource{std::move(keep_alive), std::move(*file), std::move(label)};
}

Result<IbtFile> open_source(Result<std::unique_ptr<ByteSource>> source,
                            const OpenRequest& request) {
  if (!source) return std::unexpected(std::move(source).error());
  if (request.snapshot) return open_snapshot(std::move(*source));
  return open_ibt(std::move(*source), request.options);
}

// The file is opened and its headers read without the interpreter lock: they are I/O.
std::optional<AcquiredSource> open_path(std::string_view path, const OpenRequest& request) {
  Result<IbtFile> file = [&] {
    GilReleased released;
    return open_source(open_file(path), request);
  }();
  return opened(std::move(file), SourceLabel{std::string(path), true}, PyRef());
}

std::optional<AcquiredSource> open_data(Result<std::unique_ptr<ByteSource>> source,
                                        PyRef keep_alive, const OpenRequest& request) {
  Result<IbtFile> file = open_source(std::move(source), request);
  return opened(std::move(file), SourceLabel{"<bytes>", false}, std::move(keep_alive));
}

// Bytes-like data. An exact bytes object cannot change, so it is read where it lies; any other
// buffer is copied first (the copy protects the read from changes made meanwhile), and other
// sequences are read element by element. Sets `not_bytes_like` when the object is not
// bytes-like, leaving the exception of that finding set.
std::optional<AcquiredSource> open_bytes_like(PyObject* object, bool& not_bytes_like,
                                              const OpenRequest& request) {
  not_bytes_like = false;
  {
    ByteBuffer buffer;
    if (buffer.acquire(object)) {
      if (PyBytes_CheckExact(object)) {
        return open_data(borrowed_source(buffer.bytes()), PyRef::borrow(object), request);
      }
      Result<std::unique_ptr<ByteSource>> copy = [&] {
        GilReleased released;
        return copied_source(buffer.bytes());
      }();
      return open_data(std::move(copy), PyRef(), request);
    }
    if (PyErr_Occurred()) return std::nullopt;  // an interrupt or MemoryError while asking
  }
  auto elements = extract_elements(object);
  if (!elements) {
    not_bytes_like = true;
    return std::nullopt;
  }
  return open_data(copied_source(*elements), PyRef(), request);
}

std::optional<AcquiredSource> open_path_like(PyObject* source, const OpenRequest& request) {
  PyRef path = called(PyObject_CallMethod(source, "__fspath__", nullptr));
  if (!path) return std::nullopt;
  if (!PyUnicode_Check(path.get())) {
    // Message kept word for word (callers match it).
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'",
                 Py_TYPE(path.get())->tp_name);
    return std::nullopt;
  }
  auto text = utf8_of(path.get());
  if (!text) return std::nullopt;
  return open_path(*text, request);
}

std::optional<AcquiredSource> open_file_like(PyObject* source, const OpenRequest& request) {
  PyRef zero = created(PyLong_FromLong(0));
  PyRef seek_name = text("seek");
  PyObject* seek_args[] = {source, zero.get()};
  PyRef seek = called(PyObject_VectorcallMethod(seek_name.get(), seek_args, 2, nullptr));
  if (!seek) return std::nullopt;
  PyRef read_name = text("read");
  PyObject* read_args[] = {source};
  PyRef data = called(PyObject_VectorcallMethod(read_name.get(), read_args, 1, nullptr));
  if (!data) return std::nullopt;
  bool not_bytes_like = false;
  return open_bytes_like(data.get(), not_bytes_like, request);
}

}  // namespace

std::optional<AcquiredSource> acquire_source(PyObject* source, const OpenRequest& request) {
  if (PyUnicode_Check(source)) {
    if (auto path = utf8_of(source)) return open_path(*path, request);
    if (pending_is_fatal()) return std::nullopt;
    PyErr_Clear();  // lone surrogates: not a usable path, try the other kinds
  }
  switch (has_attribute(source, "__fspath__")) {
    case Answer::Yes:
      return open_path_like(source, request);
    case Answer::Error:
      return std::nullopt;
    case Answer::No:
      break;
  }
  bool not_bytes_like = false;
  auto data = open_bytes_like(source, not_bytes_like, request);
  if (data || !not_bytes_like) return data;
  // The element rule's failure is discarded here, unless it was an interrupt or MemoryError.
  if (pending_is_fatal()) return std::nullopt;
  PyErr_Clear();
  switch (has_attribute(source, "read")) {
    case Answer::Yes:
      return open_file_like(source, request);
    case Answer::Error:
      return std::nullopt;
    case Answer::No:
      break;
  }
  // Message kept word for word (callers match it).
  PyErr_SetString(PyExc_TypeError, "Expected str, bytes, PathLike, or file-like object");
  return std::nullopt;
}

}  // namespace corvex::py
