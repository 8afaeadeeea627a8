#include "extension/source.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/byte_source.h"
#include "core/snapshot.h"

namespace corvex::py {

namespace {

// An attribute lookup that raises AttributeError means "no"; anything else it raises is an error.
bool has_attribute(PyObject* object, const char* name) {
  if (PyRef value = PyRef::steal(PyObject_GetAttrString(object, name))) return true;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
  PyErr_Clear();
  return false;
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

  // False when the object is not such a buffer; the element-by-element rule then decides.
  bool acquire(PyObject* object) {
    const bool plain = PyBytes_CheckExact(object) || PyByteArray_CheckExact(object);
    if (!plain && !PyMemoryView_Check(object)) return false;
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_ND) != 0) {
      clear_unless_fatal();
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

std::string type_name(PyObject* object) { return Py_TYPE(object)->tp_name; }

// The element-by-element rule: a sequence (not a str) whose elements are integers 0 to 255.
// Its TypeError and OverflowError messages (and the source-kind messages further down) are
// matched word for word by callers and tests, odd as their wording looks here: keep them.
std::vector<uint8_t> extract_elements(PyObject* object) {
  if (PyUnicode_Check(object)) raise_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) {
    raise_error(PyExc_TypeError,
                "'" + type_name(object) + "' object cannot be converted to 'Sequence'");
  }
  std::vector<uint8_t> bytes;
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    clear_unless_fatal();
  } else {
    // A length is only a hint: an object may claim far more items than it yields.
    constexpr Py_ssize_t kMostReserved = Py_ssize_t{1} << 26;
    bytes.reserve(static_cast<size_t>(std::min(hint, kMostReserved)));
  }
  PyRef iterator = called(PyObject_GetIter(object));
  // Iterating a list or a tuple runs no bytecode, so nothing else looks for Ctrl-C meanwhile.
  constexpr size_t kSignalCheckEvery = size_t{1} << 20;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (bytes.size() % kSignalCheckEvery == kSignalCheckEvery - 1) check(PyErr_CheckSignals());
    const long value = PyLong_AsLong(item.get());
    if (value == -1 && PyErr_Occurred()) fail();
    if (value < 0 || value > 255) {
      raise_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  if (PyErr_Occurred()) fail();
  return bytes;
}

Result<IbtFile> open_source(Result<std::unique_ptr<ByteSource>> source,
                            const OpenRequest& request) {
  if (!source) return std::unexpected(std::move(source).error());
  if (request.snapshot) return open_snapshot(std::move(*source));
  return open_ibt(std::move(*source), request.options);
}

// The file is opened and its headers read without the interpreter lock: they are I/O.
AcquiredSource open_path(std::string_view path, std::string label_text,
                         const OpenRequest& request) {
  Result<IbtFile> file = [&] {
    GilReleased released;
    return open_source(open_file(path), request);
  }();
  SourceLabel label{std::move(label_text), true};
  IbtFile opened = value_or_raise(std::move(file), label, Stage::Open);
  return AcquiredSource{PyRef(), std::move(opened), std::move(label)};
}

AcquiredSource open_data(Result<std::unique_ptr<ByteSource>> source, PyRef keep_alive,
                         const OpenRequest& request) {
  SourceLabel label{"<bytes>", false};
  IbtFile file = value_or_raise(open_source(std::move(source), request), label, Stage::Open);
  return AcquiredSource{std::move(keep_alive), std::move(file), std::move(label)};
}

// A bytes-like buffer. An exact bytes object cannot change, so it is read where it lies; any
// other buffer is copied first (the copy protects the read from changes made meanwhile). Nothing
// when the object is not such a buffer.
std::optional<AcquiredSource> open_buffer(PyObject* object, const OpenRequest& request) {
  ByteBuffer buffer;
  if (!buffer.acquire(object)) return std::nullopt;
  if (PyBytes_CheckExact(object)) {
    return open_data(borrowed_source(buffer.bytes()), PyRef::borrow(object), request);
  }
  Result<std::unique_ptr<ByteSource>> copy = [&] {
    GilReleased released;
    return copied_source(buffer.bytes());
  }();
  return open_data(std::move(copy), PyRef(), request);
}

// A buffer, or else a sequence read element by element (whose failure is raised).
AcquiredSource open_bytes_like(PyObject* object, const OpenRequest& request) {
  if (auto opened = open_buffer(object, request)) return std::move(*opened);
  return open_data(copied_source(extract_elements(object)), PyRef(), request);
}

// A path that is not UTF-8, opened by the file system's bytes (os.fsencode of the text, or the
// bytes __fspath__ gave). The label is the text with its lone surrogates encoded as they are
// ("surrogatepass"), so that the LogFile's source and the messages give back the caller's str.
AcquiredSource open_os_path(PyObject* path, const OpenRequest& request) {
  PyRef name = PyBytes_Check(path) ? PyRef::borrow(path) : created(PyUnicode_EncodeFSDefault(path));
  PyRef decoded = PyBytes_Check(path) ? created(PyUnicode_DecodeFSDefaultAndSize(
                                            PyBytes_AS_STRING(path), PyBytes_GET_SIZE(path)))
                                      : PyRef::borrow(path);
  PyRef label = created(PyUnicode_AsEncodedString(decoded.get(), "utf-8", "surrogatepass"));
  return open_path(std::string_view(PyBytes_AS_STRING(name.get()),
                                    static_cast<size_t>(PyBytes_GET_SIZE(name.get()))),
                   std::string(PyBytes_AS_STRING(label.get()),
                               static_cast<size_t>(PyBytes_GET_SIZE(label.get()))),
                   request);
}

AcquiredSource open_path_like(PyObject* source, const OpenRequest& request) {
  PyRef path = called(PyObject_CallMethod(source, "__fspath__", nullptr));
  if (request.any_path && PyBytes_Check(path.get())) return open_os_path(path.get(), request);
  if (request.any_path && PyUnicode_Check(path.get())) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(path.get(), &size)) {
      const std::string_view utf8(data, static_cast<size_t>(size));
      return open_path(utf8, std::string(utf8), request);
    }
    clear_unless_fatal();
    return open_os_path(path.get(), request);
  }
  if (!PyUnicode_Check(path.get())) {
    // Message kept word for word (callers match it).
    raise_error(PyExc_TypeError,
                "'" + type_name(path.get()) + "' object cannot be converted to 'PyString'");
  }
  const std::string_view utf8 = utf8_of(path.get());
  return open_path(utf8, std::string(utf8), request);
}

AcquiredSource open_file_like(PyObject* source, const OpenRequest& request) {
  PyRef zero = created(PyLong_FromLong(0));
  PyRef seek_name = text("seek");
  PyObject* seek_args[] = {source, zero.get()};
  called(PyObject_VectorcallMethod(seek_name.get(), seek_args, 2, nullptr));
  PyRef read_name = text("read");
  PyObject* read_args[] = {source};
  PyRef data = called(PyObject_VectorcallMethod(read_name.get(), read_args, 1, nullptr));
  return open_bytes_like(data.get(), request);
}

// A source that is bytes-like, or nothing when it is not: the element rule's failure is
// discarded (another kind of source may fit), unless it was an interrupt or MemoryError.
std::optional<AcquiredSource> open_if_bytes_like(PyObject* source, const OpenRequest& request) {
  if (auto opened = open_buffer(source, request)) return opened;
  std::vector<uint8_t> elements;
  try {
    elements = extract_elements(source);
  } catch (const PythonError&) {
    clear_unless_fatal();
    return std::nullopt;
  }
  return open_data(copied_source(elements), PyRef(), request);
}

// A str path, or nothing for a str without a UTF-8 form (lone surrogates): not a usable path.
std::optional<std::string_view> path_text(PyObject* source) {
  if (!PyUnicode_Check(source)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(source, &size);
  if (data != nullptr) return std::string_view(data, static_cast<size_t>(size));
  clear_unless_fatal();
  return std::nullopt;
}

}  // namespace

AcquiredSource acquire_source(PyObject* source, const OpenRequest& request) {
  if (auto path = path_text(source)) return open_path(*path, std::string(*path), request);
  if (request.any_path && PyUnicode_Check(source)) return open_os_path(source, request);
  if (has_attribute(source, "__fspath__")) return open_path_like(source, request);
  if (auto data = open_if_bytes_like(source, request)) return std::move(*data);
  if (has_attribute(source, "read")) return open_file_like(source, request);
  // Message kept word for word (callers match it).
  raise_error(PyExc_TypeError, "Expected str, bytes, PathLike, or file-like object");
}

}  // namespace corvex::py
