#include "core/byte_source.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/buffer.h"

namespace corvex {

namespace {

class MemorySource final : public ByteSource {
 public:
  MemorySource(std::span<const uint8_t> bytes, std::shared_ptr<Buffer> owned)
      : bytes_(bytes), owned_(std::move(owned)) {}
  uint64_t size() const override { return bytes_.size(); }
  Result<std::span<const uint8_t>> read(uint64_t offset, size_t length,
                                        uint8_t* /*scratch*/) const override {
    // Callers check ranges against size() first; this is the last line of defence.
    if (offset > bytes_.size() || length > bytes_.size() - offset) {
      return std::unexpected(IbtError::io("read past the end of the data"));
    }
    return bytes_.subspan(static_cast<size_t>(offset), length);
  }
  bool in_memory() const override { return true; }

 private:
  std::span<const uint8_t> bytes_;
  std::shared_ptr<Buffer> owned_;  // set for a copy
};

Result<std::unique_ptr<ByteSource>> make_memory_source(std::span<const uint8_t> bytes,
                                                       std::shared_ptr<Buffer> owned) {
  try {
    return std::make_unique<MemorySource>(bytes, std::move(owned));
  } catch (const std::bad_alloc&) {
    return std::unexpected(IbtError::out_of_memory("could not allocate a byte source"));
  }
}

}  // namespace

Result<std::unique_ptr<ByteSource>> borrowed_source(std::span<const uint8_t> bytes) {
  return make_memory_source(bytes, nullptr);
}

Result<std::unique_ptr<ByteSource>> copied_source(std::span<const uint8_t> bytes) {
  CORVEX_ASSIGN_OR_RETURN(auto copy, Buffer::allocate(bytes.size()));
  if (!bytes.empty()) std::memcpy(copy->data(), bytes.data(), bytes.size());
  const std::span<const uint8_t> view(copy->data(), bytes.size());
  return make_memory_source(view, std::move(copy));
}

Result<void> check_file_name(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(IbtError::io("file name contained an unexpected NUL byte"));
  }
  return {};
}

IbtError cut_short_error(uint64_t at, uint64_t size) {
  return IbtError::io("the file ends at byte " + std::to_string(at) + " but was " +
                      std::to_string(size) +
                      " bytes long when it was opened (it was cut while being read)");
}

Result<void> check_identity(const ByteSource& source, const FileIdentity& expected) {
  const std::optional<FileIdentity> found = source.identity();
  if (found && *found == expected) return {};
  IbtError error = IbtError::io(
      "the file changed since it was read (it was replaced, rewritten or touched since); open it "
      "again");
  error.set_finding(Finding::Changed);
  return std::unexpected(std::move(error));
}

IbtError not_a_file_error(std::string type) {
  // ENODEV, the error the operating system gives for mapping such a file, on every platform.
  IbtError error = IbtError::os(19);
  error.set_finding(Finding::NotAFile);
  auto facts = std::make_shared<FileFacts>();
  facts->file_type = std::move(type);
  error.set_facts(std::move(facts));
  return error;
}

}  // namespace corvex
