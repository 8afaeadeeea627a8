#include "core/arrow_export.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

namespace corvex {

namespace {

// Owned by one ArrowSchema through its private_data. A child owns its own node, so that a
// consumer may move a child out and release the parent.
struct SchemaNode {
  std::string format, name, metadata;
  std::vector<std::unique_ptr<ArrowSchema>> child_storage;
  std::vector<ArrowSchema*> children;
};

struct ArrayNode {
  std::vector<std::shared_ptr<Buffer>> owners;
  std::vector<const void*> buffers;
  std::vector<std::unique_ptr<ArrowArray>> child_storage;
  std::vector<ArrowArray*> children;
};

void release_schema(ArrowSchema* schema) {
  std::unique_ptr<SchemaNode> node(static_cast<SchemaNode*>(schema->private_data));
  for (ArrowSchema* child : node->children) {
    if (child->release != nullptr) child->release(child);
  }
  schema->release = nullptr;
  schema->private_data = nullptr;
}

void release_array(ArrowArray* array) {
  std::unique_ptr<ArrayNode> node(static_cast<ArrayNode*>(array->private_data));
  for (ArrowArray* child : node->children) {
    if (child->release != nullptr) child->release(child);
  }
  array->release = nullptr;
  array->private_data = nullptr;
}

// Fills `out` from the node and hands the node's ownership to it.
void adopt_schema(std::unique_ptr<SchemaNode> node, ArrowSchema* out) noexcept {
  out->format = node->format.c_str();
  out->name = node->name.c_str();
  out->metadata = node->metadata.empty() ? nullptr : node->metadata.data();
  out->flags = 0;  // no field of ours is nullable
  out->n_children = static_cast<int64_t>(node->children.size());
  out->children = node->children.empty() ? nullptr : node->children.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = node.release();
}

void adopt_array(std::unique_ptr<ArrayNode> node, int64_t length, ArrowArray* out) noexcept {
  out->length = length;
  out->null_count = 0;
  out->offset = 0;
  out->n_buffers = static_cast<int64_t>(node->buffers.size());
  out->n_children = static_cast<int64_t>(node->children.size());
  out->buffers = node->buffers.data();
  out->children = node->children.empty() ? nullptr : node->children.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = node.release();
}

std::unique_ptr<SchemaNode> column_schema(const ExportColumn& column) {
  auto node = std::make_unique<SchemaNode>();
  node->format = column.format;
  node->name = column.name;
  node->metadata = column.metadata;
  return node;
}

std::unique_ptr<ArrayNode> column_array(const ExportColumn& column) {
  auto node = std::make_unique<ArrayNode>();
  node->buffers.push_back(nullptr);  // no validity bitmap: the columns hold no nulls
  for (const Column& buffer : column.buffers) {
    node->owners.push_back(buffer.memory);
    node->buffers.push_back(buffer.data());
  }
  return node;
}

// Every allocation happens before the first node is adopted, so that a failure leaves nothing
// that only a release callback could free.
void build_schema(const ExportBatch& batch, ArrowSchema* out) {
  auto root = std::make_unique<SchemaNode>();
  root->format = "+s";
  std::vector<std::unique_ptr<SchemaNode>> nodes;
  nodes.reserve(batch.columns.size());
  root->child_storage.reserve(batch.columns.size());
  root->children.reserve(batch.columns.size());
  for (const ExportColumn& column : batch.columns) {
    nodes.push_back(column_schema(column));
    root->child_storage.push_back(std::make_unique<ArrowSchema>());
    root->children.push_back(root->child_storage.back().get());
  }
  for (size_t i = 0; i < nodes.size(); ++i) adopt_schema(std::move(nodes[i]), root->children[i]);
  adopt_schema(std::move(root), out);
}

void build_array(const ExportBatch& batch, ArrowArray* out) {
  const auto length = static_cast<int64_t>(batch.length);
  auto root = std::make_unique<ArrayNode>();
  root->buffers.push_back(nullptr);
  std::vector<std::unique_ptr<ArrayNode>> nodes;
  nodes.reserve(batch.columns.size());
  root->child_storage.reserve(batch.columns.size());
  root->children.reserve(batch.columns.size());
  for (const ExportColumn& column : batch.columns) {
    nodes.push_back(column_array(column));
    root->child_storage.push_back(std::make_unique<ArrowArray>());
    root->children.push_back(root->child_storage.back().get());
  }
  for (size_t i = 0; i < nodes.size(); ++i) {
    adopt_array(std::move(nodes[i]), length, root->children[i]);
  }
  adopt_array(std::move(root), length, out);
}

template <class Build, class T>
Result<void> guarded(Build build, const ExportBatch& batch, T* out) {
  try {
    build(batch, out);
    return {};
  } catch (const std::bad_alloc&) {
    out->release = nullptr;
    return std::unexpected(IbtError::out_of_memory("could not allocate the Arrow structures"));
  }
}

struct StreamState {
  ExportBatch batch;
  bool delivered = false;
  std::string error;
};

StreamState& state_of(ArrowArrayStream* stream) {
  return *static_cast<StreamState*>(stream->private_data);
}

// What a failed callback reports when not even its message could be allocated.
constexpr const char* kNoMemory = "could not allocate the Arrow structures";

// The callbacks are called from the consumer's C or C++ code, often with the interpreter lock
// released: nothing may leave them as an exception, so every failure becomes ENOMEM.
template <class Export, class T>
int export_or_enomem(StreamState& state, Export export_one, T* out) noexcept {
  try {
    auto done = export_one(state.batch, out);
    if (done) return 0;
    state.error = done.error().message();
  } catch (...) {
    out->release = nullptr;
    state.error.clear();
  }
  return ENOMEM;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
  return export_or_enomem(state_of(stream), export_schema, out);
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
  StreamState& state = state_of(stream);
  if (state.delivered) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  const int status = export_or_enomem(state, export_array, out);
  if (status == 0) state.delivered = true;
  return status;
}

const char* stream_get_last_error(ArrowArrayStream* stream) noexcept {
  const StreamState& state = state_of(stream);
  if (!state.error.empty()) return state.error.c_str();
  return state.delivered ? nullptr : kNoMemory;
}

void stream_release(ArrowArrayStream* stream) {
  std::unique_ptr<StreamState> state(static_cast<StreamState*>(stream->private_data));
  stream->release = nullptr;
  stream->private_data = nullptr;
}

}  // namespace

std::string encode_metadata(std::span<const MetadataItem> items) {
  std::string out;
  auto put_int = [&out](size_t value) {
    const auto v = static_cast<int32_t>(value);
    char bytes[sizeof v];
    std::memcpy(bytes, &v, sizeof v);
    out.append(bytes, sizeof v);
  };
  put_int(items.size());
  for (const auto& [key, value] : items) {
    put_int(key.size());
    out.append(key);
    put_int(value.size());
    out.append(value);
  }
  return out;
}

Result<void> export_schema(const ExportBatch& batch, ArrowSchema* out) {
  return guarded(build_schema, batch, out);
}

Result<void> export_array(const ExportBatch& batch, ArrowArray* out) {
  return guarded(build_array, batch, out);
}

Result<void> export_stream(ExportBatch batch, ArrowArrayStream* out) {
  try {
    auto state = std::make_unique<StreamState>();
    state->batch = std::move(batch);
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_get_last_error;
    out->release = stream_release;
    out->private_data = state.release();
    return {};
  } catch (const std::bad_alloc&) {
    out->release = nullptr;
    return std::unexpected(IbtError::out_of_memory("could not allocate an Arrow stream"));
  }
}

// ---------------------------------------------------------------------------------------------
// Validation

namespace {

std::unexpected<IbtError> invalid(const std::string& where, const std::string& what) {
  return std::unexpected(IbtError::arrow(where + ": " + what));
}

// Bytes each buffer after the validity bitmap needs for `length` values of `format`; empty for
// a format this producer does not make.
std::vector<uint64_t> buffer_needs(std::string_view format, uint64_t length) {
  if (format == "b") return {(length + 7) / 8};
  if (format == "C") return {length};
  if (format == "i" || format == "I" || format == "f") return {length * 4};
  if (format == "l" || format == "g") return {length * 8};
  if (format == "u") return {(length + 1) * 4, 0};  // the characters' size comes from the offsets
  return {};
}

Result<void> check_metadata(const std::string& where, const char* metadata,
                            const std::string& expected) {
  if (metadata == nullptr) {
    if (!expected.empty()) return invalid(where, "metadata missing");
    return {};
  }
  if (expected.empty()) return invalid(where, "metadata present where none was given");
  // Walk the encoding within the bytes we made, so that a count or length that overran them is
  // caught rather than read past.
  const std::string_view bytes(metadata, expected.size());
  if (bytes != expected) return invalid(where, "metadata bytes differ from what was encoded");
  size_t at = 0;
  auto take_int = [&](int32_t& value) {
    if (bytes.size() - at < sizeof value) return false;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    at += sizeof value;
    return value >= 0;
  };
  int32_t count = 0;
  if (!take_int(count)) return invalid(where, "metadata count unreadable");
  for (int32_t i = 0; i < 2 * count; ++i) {
    int32_t length = 0;
    if (!take_int(length) || bytes.size() - at < static_cast<size_t>(length)) {
      return invalid(where, "metadata entry overruns its bytes");
    }
    at += static_cast<size_t>(length);
  }
  if (at != bytes.size()) return invalid(where, "metadata has trailing bytes");
  return {};
}

Result<void> check_buffer(const std::string& where, const void* pointer, const Column& column,
                          uint64_t need) {
  if (pointer == nullptr) return invalid(where, "buffer missing");
  if (reinterpret_cast<uintptr_t>(pointer) % kBufferAlignment != 0) {
    return invalid(where, "buffer not 64-byte aligned");
  }
  if (pointer != column.data()) return invalid(where, "buffer is not the column's memory");
  if (column.bytes < need || column.offset + need > column.memory->size()) {
    return invalid(where, "buffer holds " + std::to_string(column.bytes) + " bytes, needs " +
                              std::to_string(need));
  }
  return {};
}

Result<void> check_offsets(const std::string& where, const Column& offsets, const Column& chars,
                           uint64_t length) {
  const auto* values = reinterpret_cast<const int32_t*>(offsets.data());
  if (values[0] != 0) return invalid(where, "first offset is not 0");
  for (uint64_t i = 0; i < length; ++i) {
    if (values[i + 1] < values[i]) return invalid(where, "offsets fall");
  }
  if (static_cast<uint64_t>(values[length]) > chars.bytes) {
    return invalid(where, "offsets pass the end of the characters");
  }
  return {};
}

Result<void> check_column(const ExportColumn& column, const ArrowSchema& schema,
                          const ArrowArray& array, uint64_t length) {
  const std::string where = "column '" + column.name + "'";
  if (schema.release == nullptr || array.release == nullptr) return invalid(where, "released");
  if (std::string_view(schema.format) != column.format ||
      std::string_view(schema.name) != column.name) {
    return invalid(where, "format or name differs");
  }
  if (schema.flags != 0 || schema.n_children != 0 || array.n_children != 0) {
    return invalid(where, "unexpected flags or children");
  }
  CORVEX_RETURN_IF_ERROR(check_metadata(where, schema.metadata, column.metadata));
  if (array.length != static_cast<int64_t>(length) || array.null_count != 0 || array.offset != 0) {
    return invalid(where, "length, null count or offset wrong");
  }
  const auto needs = buffer_needs(column.format, length);
  if (needs.empty() || needs.size() != column.buffers.size() ||
      array.n_buffers != static_cast<int64_t>(needs.size() + 1) || array.buffers[0] != nullptr) {
    return invalid(where, "buffer count wrong or a validity bitmap present");
  }
  for (size_t i = 0; i < needs.size(); ++i) {
    CORVEX_RETURN_IF_ERROR(check_buffer(where, array.buffers[i + 1], column.buffers[i], needs[i]));
  }
  if (std::string_view(column.format) == "u") {
    CORVEX_RETURN_IF_ERROR(check_offsets(where, column.buffers[0], column.buffers[1], length));
  }
  return {};
}

}  // namespace

Result<void> validate_export(const ExportBatch& batch, const ArrowSchema& schema,
                             const ArrowArray& array) {
  if (schema.release == nullptr || array.release == nullptr) {
    return invalid("batch", "structure already released");
  }
  if (std::string_view(schema.format) != "+s" || schema.flags != 0 || schema.metadata != nullptr) {
    return invalid("batch", "root is not a plain struct");
  }
  const auto columns = static_cast<int64_t>(batch.columns.size());
  if (schema.n_children != columns || array.n_children != columns ||
      array.length != static_cast<int64_t>(batch.length) || array.null_count != 0 ||
      array.n_buffers != 1 || array.buffers[0] != nullptr) {
    return invalid("batch", "root length, children or buffers wrong");
  }
  for (int64_t i = 0; i < columns; ++i) {
    CORVEX_RETURN_IF_ERROR(check_column(batch.columns[static_cast<size_t>(i)], *schema.children[i],
                                        *array.children[i], batch.length));
  }
  return {};
}

}  // namespace corvex
