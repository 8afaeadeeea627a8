#include "core/arrow_export.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

namespace corvex {

namespace {

using SharedBatch = std::shared_ptr<const ExportBatch>;

// Releases the children that are still in place (a consumer may have moved one out, leaving its
// release callback empty); the child structures start out released, so that a node dropped half
// built frees exactly the children that were adopted.
template <class T>
void release_children(std::vector<T>& children) {
  for (T& child : children) {
    if (child.release != nullptr) child.release(&child);
  }
}

// Owned by one ArrowSchema through its private_data. The texts it hands out are the batch's own
// (the node holds the batch), so a column costs one allocation. A child has its own node, so
// that a consumer may move a child out and release the parent.
struct SchemaNode {
  SharedBatch batch;
  std::string list_format;  // "+w:<size>" for a list; other formats are static strings
  std::vector<ArrowSchema> child_storage;
  std::vector<ArrowSchema*> children;
  ~SchemaNode() { release_children(child_storage); }
};

struct ArrayNode {
  SharedBatch batch;  // holds the column memory the buffers point into
  std::vector<const void*> buffers;
  std::vector<ArrowArray> child_storage;
  std::vector<ArrowArray*> children;
  ~ArrayNode() { release_children(child_storage); }
};

void release_schema(ArrowSchema* schema) {
  std::unique_ptr<SchemaNode> node(static_cast<SchemaNode*>(schema->private_data));
  schema->release = nullptr;
  schema->private_data = nullptr;
}

void release_array(ArrowArray* array) {
  std::unique_ptr<ArrayNode> node(static_cast<ArrayNode*>(array->private_data));
  array->release = nullptr;
  array->private_data = nullptr;
}

bool is_list(const ExportColumn& column) {
  return column.format[0] == '+' && std::string_view(column.format) == "+w";
}

std::string format_of(const ExportColumn& column) {
  if (is_list(column)) return "+w:" + std::to_string(column.list_size);
  return column.format;
}

// Fills `out` for `column` (nullptr for the batch's root) and hands the node's ownership to it.
void adopt_schema(std::unique_ptr<SchemaNode> node, const ExportColumn* column,
                  ArrowSchema* out) noexcept {
  if (column == nullptr) {
    out->format = "+s";
    out->name = "";
    out->metadata = nullptr;
  } else {
    out->format = node->list_format.empty() ? column->format : node->list_format.c_str();
    out->name = column->name.c_str();
    out->metadata = column->metadata.empty() ? nullptr : column->metadata.data();
  }
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

// Room for `count` children, each marked released until it is adopted.
template <class Node, class T>
void make_room(Node& node, size_t count) {
  node.child_storage.resize(count);
  node.children.reserve(count);
  for (T& child : node.child_storage) {
    child.release = nullptr;
    node.children.push_back(&child);
  }
}

std::unique_ptr<SchemaNode> schema_node(const SharedBatch& batch,
                                        const std::vector<ExportColumn>& children) {
  auto node = std::make_unique<SchemaNode>();
  node->batch = batch;
  make_room<SchemaNode, ArrowSchema>(*node, children.size());
  for (size_t i = 0; i < children.size(); ++i) {
    const ExportColumn& child = children[i];
    auto grand = schema_node(batch, child.children);
    if (is_list(child)) grand->list_format = format_of(child);
    adopt_schema(std::move(grand), &child, node->children[i]);
  }
  return node;
}

// `length` is the column's own: the batch's rows, or rows x list size for a list's values.
std::unique_ptr<ArrayNode> array_node(const SharedBatch& batch, const ExportColumn* column,
                                      const std::vector<ExportColumn>& children, int64_t length) {
  auto node = std::make_unique<ArrayNode>();
  node->batch = batch;
  node->buffers.reserve(1 + (column == nullptr ? 0 : column->buffers.size()));
  node->buffers.push_back(nullptr);  // no validity bitmap: the columns hold no nulls
  if (column != nullptr) {
    for (const Column& buffer : column->buffers) node->buffers.push_back(buffer.data());
  }
  make_room<ArrayNode, ArrowArray>(*node, children.size());
  const int64_t child_length =
      length * (column != nullptr && is_list(*column) ? column->list_size : 1);
  for (size_t i = 0; i < children.size(); ++i) {
    const ExportColumn& child = children[i];
    adopt_array(array_node(batch, &child, child.children, child_length), child_length,
                node->children[i]);
  }
  return node;
}

// A node that fails half built releases the children it adopted on the way out, so a failure
// leaves nothing that only a release callback could free.
void build_schema(const SharedBatch& batch, ArrowSchema* out) {
  adopt_schema(schema_node(batch, batch->columns), nullptr, out);
}

void build_array(const SharedBatch& batch, ArrowArray* out) {
  const auto length = static_cast<int64_t>(batch->length);
  adopt_array(array_node(batch, nullptr, batch->columns, length), length, out);
}

// What a failed export reports when its structures could not be allocated.
constexpr const char* kNoMemory = "could not allocate the Arrow structures";

template <class Build, class T>
Result<void> guarded(Build build, const SharedBatch& batch, T* out) {
  try {
    build(batch, out);
    return {};
  } catch (const std::bad_alloc&) {
    out->release = nullptr;
    return std::unexpected(IbtError::out_of_memory(kNoMemory));
  }
}

struct StreamState {
  SharedBatch batch;
  bool delivered = false;
  std::string error;
};

StreamState& state_of(ArrowArrayStream* stream) {
  return *static_cast<StreamState*>(stream->private_data);
}

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

Result<void> export_shared_schema(const SharedBatch& batch, ArrowSchema* out) {
  return guarded(build_schema, batch, out);
}

Result<void> export_shared_array(const SharedBatch& batch, ArrowArray* out) {
  return guarded(build_array, batch, out);
}

// A copy of the batch, exported, so that the structures own what they point at; the stream
// shares its one copy among all it hands out.
template <class T>
Result<void> export_copy(const ExportBatch& batch, T* out,
                         Result<void> (*export_shared)(const SharedBatch&, T*)) {
  try {
    return export_shared(std::make_shared<const ExportBatch>(batch), out);
  } catch (const std::bad_alloc&) {
    out->release = nullptr;
    return std::unexpected(IbtError::out_of_memory(kNoMemory));
  }
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
  return export_or_enomem(state_of(stream), export_shared_schema, out);
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
  StreamState& state = state_of(stream);
  if (state.delivered) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  const int status = export_or_enomem(state, export_shared_array, out);
  if (status == 0) state.delivered = true;
  return status;
}

const char* stream_get_last_error(ArrowArrayStream* stream) noexcept {
  const StreamState& state = state_of(stream);
  if (!state.error.empty()) return state.error.c_str();
  // A failed callback whose own message could not be allocated reports this one.
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
  return export_copy(batch, out, export_shared_schema);
}

Result<void> export_array(const ExportBatch& batch, ArrowArray* out) {
  return export_copy(batch, out, export_shared_array);
}

Result<void> export_stream(ExportBatch batch, ArrowArrayStream* out) {
  try {
    auto state = std::make_unique<StreamState>();
    state->batch = std::make_shared<const ExportBatch>(std::move(batch));
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
  if (std::string_view(schema.format) != format_of(column) ||
      std::string_view(schema.name) != column.name) {
    return invalid(where, "format or name differs");
  }
  const auto children = static_cast<int64_t>(column.children.size());
  if (schema.flags != 0 || schema.n_children != children || array.n_children != children) {
    return invalid(where, "unexpected flags or children");
  }
  CORVEX_RETURN_IF_ERROR(check_metadata(where, schema.metadata, column.metadata));
  if (array.length != static_cast<int64_t>(length) || array.null_count != 0 || array.offset != 0) {
    return invalid(where, "length, null count or offset wrong");
  }
  if (is_list(column)) {
    // A fixed-size list: no buffer but the absent validity bitmap, and one child that holds
    // list_size values per row.
    if (column.list_size <= 0 || children != 1 || !column.buffers.empty() || array.n_buffers != 1 ||
        array.buffers[0] != nullptr) {
      return invalid(where, "a list needs a positive size, one child and no buffers");
    }
    return check_column(column.children[0], *schema.children[0], *array.children[0],
                        length * static_cast<uint64_t>(column.list_size));
  }
  if (children != 0) return invalid(where, "children on a column that is not a list");
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
