// Where a file's bytes come from. The reader never holds the whole file: it asks its source for
// the ranges it needs (the headers, the session info, one block of records at a time), so a file
// that is cut or replaced while it is read gives an I/O error instead of a fault, and one
// interface serves POSIX files, Win32 files and bytes already in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/file_facts.h"

namespace corvex {

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // The length of the file when it was opened; every check of the layout is made against it.
  virtual uint64_t size() const = 0;

  // The bytes [offset, offset + length): a view of memory the source holds when it has them in
  // memory, otherwise `scratch` (room for `length` bytes) filled by a read. Fails with an I/O
  // error when they cannot be read in full, for instance because the file was cut after it was
  // opened. May be called from several threads at once.
  virtual Result<std::span<const uint8_t>> read(uint64_t offset, size_t length,
                                                uint8_t* scratch) const = 0;

  // True when read() returns views of memory and never touches `scratch`, which may be null.
  virtual bool in_memory() const { return false; }

  // The identity of an opened file, from the status of its handle; none for bytes in memory.
  virtual std::optional<FileIdentity> identity() const { return std::nullopt; }
};

// The file at `path` (UTF-8), opened for reading. Anything but a regular file (a directory, FIFO,
// device or socket) is refused with the error that mapping it would give (ENODEV) and the finding
// NotAFile, its type in the facts; it is looked at before it is opened, so that it is never opened
// for reading, and checked again on the open handle.
Result<std::unique_ptr<ByteSource>> open_file(std::string_view path);

// What the two file sources share. A name with a NUL byte cannot reach the operating system and
// is refused before any call; a read that finds the file shorter than it was when opened fails
// with cut_short_error, the same text on every platform.
Result<void> check_file_name(std::string_view path);
IbtError cut_short_error(uint64_t at, uint64_t size);
// The error for a path that names something other than a regular file, `type` saying what.
IbtError not_a_file_error(std::string type);

// Fails with the finding Changed unless `source` is an opened file of identity `expected`.
Result<void> check_identity(const ByteSource& source, const FileIdentity& expected);

// Bytes that the caller keeps alive and unchanged for as long as the source lives.
Result<std::unique_ptr<ByteSource>> borrowed_source(std::span<const uint8_t> bytes);

// A private copy of bytes that may change or go away during the call.
Result<std::unique_ptr<ByteSource>> copied_source(std::span<const uint8_t> bytes);

}  // namespace corvex
