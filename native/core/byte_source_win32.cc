// Win32 files: opened by their wide-character name and read with ReadFile at explicit offsets, the
// counterpart of the POSIX source. Sharing is granted to writers and deleters so that a recording
// the simulator still holds open can be read; a file cut underneath gives a short read.
#include <windows.h>

#include <algorithm>
#include <new>
#include <string>

#include "core/byte_source.h"
#include "core/win32.h"

namespace corvex {

std::string utf8_of(const wchar_t* text, int length) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

IbtError win32_error(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string description = length > 0 ? utf8_of(text, static_cast<int>(length)) : "Unknown error";
  if (text != nullptr) ::LocalFree(text);
  while (!description.empty() && (description.back() == '\n' || description.back() == '\r' ||
                                  description.back() == ' ' || description.back() == '.')) {
    description.pop_back();
  }
  return IbtError::io(description + " (os error " + std::to_string(code) + ")");
}

Result<std::wstring> wide_path(std::string_view path) {
  if (path.empty()) return std::wstring();
  const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                         static_cast<int>(path.size()), nullptr, 0);
  if (size <= 0) return std::unexpected(win32_error(::GetLastError()));
  std::wstring out(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                        out.data(), size);
  return out;
}

Result<void> read_file_at(HANDLE handle, uint64_t offset, std::span<uint8_t> out, uint64_t size) {
  size_t done = 0;
  while (done < out.size()) {
    // ReadFile takes a 32-bit length; an OVERLAPPED offset makes each read independent of the
    // handle's position, so threads may read at once.
    const DWORD want = static_cast<DWORD>(std::min<size_t>(out.size() - done, 1u << 30));
    OVERLAPPED at{};
    const uint64_t position = offset + done;
    at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD got = 0;
    if (!::ReadFile(handle, out.data() + done, want, &got, &at)) {
      const DWORD code = ::GetLastError();
      if (code != ERROR_HANDLE_EOF) return std::unexpected(win32_error(code));
      got = 0;
    }
    if (got == 0) return std::unexpected(cut_short_error(position, size));
    done += got;
  }
  return {};
}

namespace {

// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochIn1601Ticks = 116444736000000000;

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION& info, uint64_t size) {
  const int64_t ticks = static_cast<int64_t>(uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 |
                                             info.ftLastWriteTime.dwLowDateTime);
  return FileIdentity{info.dwVolumeSerialNumber,
                      uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow, size,
                      (ticks - kUnixEpochIn1601Ticks) * 100};
}

class Win32File final : public ByteSource {
 public:
  Win32File(HANDLE handle, uint64_t size, FileIdentity identity)
      : handle_(handle), size_(size), identity_(identity) {}
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;
  ~Win32File() override { ::CloseHandle(handle_); }

  uint64_t size() const override { return size_; }

  Result<std::span<const uint8_t>> read(uint64_t offset, size_t length,
                                        uint8_t* scratch) const override {
    CORVEX_RETURN_IF_ERROR(
        read_file_at(handle_, offset, std::span<uint8_t>(scratch, length), size_));
    return std::span<const uint8_t>(scratch, length);
  }

  std::optional<FileIdentity> identity() const override { return identity_; }

 private:
  HANDLE handle_;
  uint64_t size_;
  FileIdentity identity_;
};

}  // namespace

Result<std::unique_ptr<ByteSource>> open_file(std::string_view path) {
  CORVEX_RETURN_IF_ERROR(check_file_name(path));
  CORVEX_ASSIGN_OR_RETURN(const std::wstring name, wide_path(path));
  // A directory is refused before it is opened, as on POSIX.
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::unexpected(not_a_file_error("directory"));
  }
  const HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::unexpected(win32_error(::GetLastError()));
  LARGE_INTEGER size{};
  if (const DWORD type = ::GetFileType(handle); type != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    return std::unexpected(not_a_file_error(type == FILE_TYPE_PIPE   ? "pipe"
                                            : type == FILE_TYPE_CHAR ? "character device"
                                                                     : "special file"));
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileSizeEx(handle, &size) || !::GetFileInformationByHandle(handle, &info)) {
    const DWORD code = ::GetLastError();
    ::CloseHandle(handle);
    return std::unexpected(win32_error(code));
  }
  const auto length = static_cast<uint64_t>(size.QuadPart);
  try {
    return std::make_unique<Win32File>(handle, length, identity_of(info, length));
  } catch (const std::bad_alloc&) {
    ::CloseHandle(handle);
    return std::unexpected(IbtError::out_of_memory("could not allocate a file source"));
  }
}

}  // namespace corvex
