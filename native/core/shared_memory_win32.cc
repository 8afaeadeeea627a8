// Live telemetry on Windows: the simulator's named mapping and event, and files of the same
// layout read and written with ReadFile and WriteFile at explicit offsets.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "core/byte_source.h"
#include "core/bytes.h"
#include "core/shared_memory.h"
#include "core/win32.h"

namespace corvex {

namespace {

// A file has no event: a reader looks at its header this often while it waits.
constexpr unsigned kPollMs = 1;

// Owns a handle; closes it when dropped.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  void reset() {
    if (*this) ::CloseHandle(handle_);
    handle_ = nullptr;
  }
  HANDLE handle_ = nullptr;
};

// The simulator's mapping, or one a publisher created.
class Mapping final : public SharedMemory {
 public:
  Mapping(Handle mapping, uint8_t* view, uint64_t size, Handle event, bool writable)
      : mapping_(std::move(mapping)),
        view_(view),
        size_(size),
        event_(std::move(event)),
        writable_(writable) {}
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() override { ::UnmapViewOfFile(view_); }

  uint64_t size() const override { return size_; }

  Result<void> read(uint64_t offset, std::span<uint8_t> out) const override {
    if (offset > size_ || out.size() > size_ - offset) {
      return std::unexpected(IbtError::io("read past the end of the shared memory"));
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    std::memcpy(out.data(), view_ + offset, out.size());
    std::atomic_thread_fence(std::memory_order_acquire);
    return {};
  }

  Result<void> write(uint64_t offset, std::span<const uint8_t> bytes) override {
    if (!writable_)
      return std::unexpected(IbtError::io("the shared memory was opened for reading"));
    if (offset > size_ || bytes.size() > size_ - offset) {
      return std::unexpected(IbtError::io("write past the end of the shared memory (" +
                                          std::to_string(size_) + " bytes)"));
    }
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(view_ + offset, bytes.data(), bytes.size());
    std::atomic_thread_fence(std::memory_order_release);
    return {};
  }

  bool wait_signal(unsigned milliseconds) override {
    if (!event_) {
      ::Sleep(milliseconds);
      return false;
    }
    return ::WaitForSingleObject(event_.get(), milliseconds) == WAIT_OBJECT_0;
  }

  // The event is manual-reset, as readers of the simulator expect; a pulse wakes every reader
  // waiting now and leaves it unset, so that a reader that was not waiting does not spin.
  void signal() override {
    if (event_) ::PulseEvent(event_.get());
  }

 private:
  Handle mapping_;
  uint8_t* view_;
  uint64_t size_;
  Handle event_;
  bool writable_;
};

Result<std::pair<uint8_t*, uint64_t>> map_whole(HANDLE mapping, DWORD access) {
  void* view = ::MapViewOfFile(mapping, access, 0, 0, 0);
  if (view == nullptr) return std::unexpected(win32_error(::GetLastError()));
  MEMORY_BASIC_INFORMATION info{};
  if (::VirtualQuery(view, &info, sizeof info) == 0) {
    const DWORD code = ::GetLastError();
    ::UnmapViewOfFile(view);
    return std::unexpected(win32_error(code));
  }
  return std::pair{static_cast<uint8_t*>(view), static_cast<uint64_t>(info.RegionSize)};
}

// The file's identity, to tell a replaced file from the one we hold.
struct FileId {
  DWORD volume = 0, high = 0, low = 0;
  bool operator==(const FileId&) const = default;
};

Result<FileId> file_id(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) {
    return std::unexpected(win32_error(::GetLastError()));
  }
  return FileId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

Result<uint64_t> file_size(HANDLE handle) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle, &size)) return std::unexpected(win32_error(::GetLastError()));
  return static_cast<uint64_t>(size.QuadPart);
}

Result<void> write_at(HANDLE handle, uint64_t offset, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    OVERLAPPED at{};
    const uint64_t position = offset + done;
    at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD put = 0;
    if (!::WriteFile(handle, bytes.data() + done, want, &put, &at)) {
      return std::unexpected(win32_error(::GetLastError()));
    }
    done += put;
  }
  return {};
}

Result<Handle> open_for_reading(const std::wstring& name) {
  Handle handle(::CreateFileW(name.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) return std::unexpected(win32_error(::GetLastError()));
  if (::GetFileType(handle.get()) != FILE_TYPE_DISK) {
    return std::unexpected(IbtError::os(19));  // ENODEV, as for a POSIX FIFO or device
  }
  return handle;
}

class LiveFile final : public SharedMemory {
 public:
  LiveFile(std::wstring name, Handle handle, uint64_t size, FileId id)
      : name_(std::move(name)), handle_(std::move(handle)), size_(size), id_(id) {}

  uint64_t size() const override {
    const std::lock_guard lock(mutex_);
    return size_;
  }

  Result<void> read(uint64_t offset, std::span<uint8_t> out) const override {
    const std::lock_guard lock(mutex_);
    if (offset > size_ || out.size() > size_ - offset) {
      return std::unexpected(IbtError::io("read past the end of the live file"));
    }
    return read_file_at(handle_.get(), offset, out, size_);
  }

  Result<void> write(uint64_t, std::span<const uint8_t>) override {
    return std::unexpected(IbtError::io("the live file was opened for reading"));
  }

  bool wait_signal(unsigned milliseconds) override {
    ::Sleep(std::min(milliseconds, kPollMs));
    return false;
  }
  void signal() override {}

  Result<bool> refresh() override {
    const std::lock_guard lock(mutex_);
    CORVEX_ASSIGN_OR_RETURN(Handle handle, open_for_reading(name_));
    CORVEX_ASSIGN_OR_RETURN(const FileId id, file_id(handle.get()));
    CORVEX_ASSIGN_OR_RETURN(const uint64_t size, file_size(handle.get()));
    const bool changed = !(id == id_) || size != size_;
    if (!(id == id_)) {
      handle_ = std::move(handle);
      id_ = id;
    }
    size_ = size;
    return changed;
  }

 private:
  // Readers on several threads share the file (a handle's latest() and its follower); a
  // refresh swaps the handle under them.
  mutable std::mutex mutex_;
  std::wstring name_;
  Handle handle_;
  uint64_t size_;
  FileId id_;
};

// Security attributes that give the file's owner read and write access and nobody else any: the
// file a publisher creates holds what the simulator shows, for its user alone. On Windows the
// one entry names the current user. Under wine, which makes a Unix mode of the entries, an entry
// for the user gives the group the same bits; an entry for the descriptor's own owner gives the
// user alone, so there the owner is set to the "OWNER RIGHTS" identity and the entry names it
// (the file's Unix owner stays the user): the file is created with mode 0600.
class OwnerOnly {
 public:
  Result<SECURITY_ATTRIBUTES*> attributes() {
    PSID sid = nullptr;
    if (under_wine()) {
      SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
      if (!::AllocateAndInitializeSid(&creator, 1, SECURITY_CREATOR_OWNER_RIGHTS_RID, 0, 0, 0, 0, 0,
                                      0, 0, &owner_rights_)) {
        return std::unexpected(win32_error(::GetLastError()));
      }
      sid = owner_rights_;
    } else {
      CORVEX_ASSIGN_OR_RETURN(sid, current_user());
    }
    acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid));
    auto* acl = reinterpret_cast<ACL*>(acl_.data());
    if (!::InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) ||
        !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE,
                               sid) ||
        !::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        (owner_rights_ != nullptr &&
         !::SetSecurityDescriptorOwner(&descriptor_, owner_rights_, FALSE))) {
      return std::unexpected(win32_error(::GetLastError()));
    }
    attributes_ = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), &descriptor_, FALSE};
    return &attributes_;
  }
  OwnerOnly() = default;
  OwnerOnly(const OwnerOnly&) = delete;
  OwnerOnly& operator=(const OwnerOnly&) = delete;
  ~OwnerOnly() {
    if (owner_rights_ != nullptr) ::FreeSid(owner_rights_);
  }

 private:
  static bool under_wine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }

  Result<PSID> current_user() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) {
      return std::unexpected(win32_error(::GetLastError()));
    }
    const Handle token(raw);
    DWORD length = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &length);
    user_.resize(length);
    if (length == 0 ||
        !::GetTokenInformation(token.get(), TokenUser, user_.data(), length, &length)) {
      return std::unexpected(win32_error(::GetLastError()));
    }
    return reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
  }

  std::vector<uint8_t> user_, acl_;
  PSID owner_rights_ = nullptr;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

class PublishedFile final : public SharedMemory {
 public:
  PublishedFile(std::wstring name, std::wstring temporary, Handle handle)
      : name_(std::move(name)), temporary_(std::move(temporary)), handle_(std::move(handle)) {}
  PublishedFile(const PublishedFile&) = delete;
  PublishedFile& operator=(const PublishedFile&) = delete;
  ~PublishedFile() override {
    handle_ = Handle();
    if (!committed_) ::DeleteFileW(temporary_.c_str());
  }

  uint64_t size() const override { return size_; }

  Result<void> read(uint64_t offset, std::span<uint8_t> out) const override {
    if (offset > size_ || out.size() > size_ - offset) {
      return std::unexpected(IbtError::io("read past the end of the live file"));
    }
    return read_file_at(handle_.get(), offset, out, size_);
  }

  Result<void> write(uint64_t offset, std::span<const uint8_t> bytes) override {
    CORVEX_RETURN_IF_ERROR(write_at(handle_.get(), offset, bytes));
    size_ = std::max<uint64_t>(size_, offset + bytes.size());
    return {};
  }

  bool wait_signal(unsigned milliseconds) override {
    ::Sleep(std::min(milliseconds, kPollMs));
    return false;
  }
  void signal() override {}

  Result<void> commit() override {
    if (committed_) return {};
    if (!::MoveFileExW(temporary_.c_str(), name_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      return std::unexpected(win32_error(::GetLastError()));
    }
    committed_ = true;
    return {};
  }

 private:
  std::wstring name_;
  std::wstring temporary_;
  Handle handle_;
  uint64_t size_ = 0;
  bool committed_ = false;
};

}  // namespace

Result<std::unique_ptr<SharedMemory>> open_live_file(std::string_view path) {
  CORVEX_RETURN_IF_ERROR(check_file_name(path));
  CORVEX_ASSIGN_OR_RETURN(std::wstring name, wide_path(path));
  CORVEX_ASSIGN_OR_RETURN(Handle handle, open_for_reading(name));
  CORVEX_ASSIGN_OR_RETURN(const FileId id, file_id(handle.get()));
  CORVEX_ASSIGN_OR_RETURN(const uint64_t size, file_size(handle.get()));
  try {
    return std::make_unique<LiveFile>(std::move(name), std::move(handle), size, id);
  } catch (const std::bad_alloc&) {
    return std::unexpected(IbtError::out_of_memory("could not allocate a live file"));
  }
}

Result<std::unique_ptr<SharedMemory>> create_live_file(std::string_view path) {
  CORVEX_RETURN_IF_ERROR(check_file_name(path));
  CORVEX_ASSIGN_OR_RETURN(std::wstring name, wide_path(path));
  const size_t slash = name.find_last_of(L"\\/");
  const std::wstring directory = slash == std::wstring::npos ? L"." : name.substr(0, slash);
  const std::wstring base = slash == std::wstring::npos ? name : name.substr(slash + 1);
  if (base.empty()) {
    return std::unexpected(
        IbtError::io("a live file needs a file name, got '" + std::string(path) + "'"));
  }
  OwnerOnly owner_only;
  CORVEX_ASSIGN_OR_RETURN(SECURITY_ATTRIBUTES * security, owner_only.attributes());
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    const std::wstring temporary = directory + L"\\." + base + L".tmp-" +
                                   std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(::GetTickCount64() + attempt);
    Handle handle(::CreateFileW(temporary.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, security,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_FILE_EXISTS) continue;
      return std::unexpected(win32_error(code));
    }
    try {
      return std::make_unique<PublishedFile>(name, temporary, std::move(handle));
    } catch (const std::bad_alloc&) {
      ::DeleteFileW(temporary.c_str());
      return std::unexpected(IbtError::out_of_memory("could not allocate a live file"));
    }
  }
  return std::unexpected(
      IbtError::io("could not find a free temporary name beside " + std::string(path)));
}

Result<std::unique_ptr<SharedMemory>> open_live_mapping() {
  const std::wstring name(kLiveMappingName);
  Handle mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
  if (!mapping) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) {
      return std::unexpected(IbtError::io(
          "the simulator is not running: its telemetry memory does not exist (start the "
          "simulator and get in the car, or run `corvex replay FILE.ibt`)"));
    }
    return std::unexpected(win32_error(code));
  }
  CORVEX_ASSIGN_OR_RETURN(const auto view, map_whole(mapping.get(), FILE_MAP_READ));
  const std::wstring event_name(kLiveEventName);
  Handle event(::OpenEventW(SYNCHRONIZE, FALSE, event_name.c_str()));  // may be absent: poll
  try {
    return std::make_unique<Mapping>(std::move(mapping), view.first, view.second, std::move(event),
                                     false);
  } catch (const std::bad_alloc&) {
    ::UnmapViewOfFile(view.first);
    return std::unexpected(IbtError::out_of_memory("could not allocate the shared memory"));
  }
}

Result<std::unique_ptr<SharedMemory>> create_live_mapping(uint64_t size) {
  const uint64_t bytes = std::max(size, kLiveMappingSize);
  const std::wstring name(kLiveMappingName);
  Handle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                      static_cast<DWORD>(bytes >> 32),
                                      static_cast<DWORD>(bytes & 0xFFFFFFFFu), name.c_str()));
  if (!mapping) return std::unexpected(win32_error(::GetLastError()));
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  CORVEX_ASSIGN_OR_RETURN(const auto view, map_whole(mapping.get(), FILE_MAP_ALL_ACCESS));
  // A mapping that exists already is taken over only when nobody publishes into it (its status
  // flag is clear: the simulator or a replay has stopped, and readers still hold it open).
  if (existed && (view.second < bytes || (load_le<int32_t>(view.first + 4) & 1) != 0)) {
    ::UnmapViewOfFile(view.first);
    return std::unexpected(IbtError::io(
        view.second < bytes
            ? "the simulator's telemetry memory exists already and is too small (" +
                  std::to_string(view.second) + " bytes, need " + std::to_string(bytes) + ")"
            : std::string("the simulator, or another replay, is publishing telemetry now; stop "
                          "it first")));
  }
  const std::wstring event_name(kLiveEventName);
  Handle event(::CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
  if (!event) {
    const DWORD code = ::GetLastError();
    ::UnmapViewOfFile(view.first);
    return std::unexpected(win32_error(code));
  }
  try {
    return std::make_unique<Mapping>(std::move(mapping), view.first, view.second, std::move(event),
                                     true);
  } catch (const std::bad_alloc&) {
    ::UnmapViewOfFile(view.first);
    return std::unexpected(IbtError::out_of_memory("could not allocate the shared memory"));
  }
}

}  // namespace corvex
