// Live telemetry files on POSIX systems: read and written with pread and pwrite at explicit
// offsets. A mapping of a file that another process may cut would turn the cut into SIGBUS; a
// short read is an error the reader can report. There is no event: readers poll.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <thread>

#include "core/byte_source.h"
#include "core/posix_io.h"
#include "core/shared_memory.h"

namespace corvex {

namespace {

// A file has no event: a reader looks at its header this often while it waits.
constexpr unsigned kPollMs = 1;

Result<void> write_at(int fd, uint64_t offset, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put =
        ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IbtError::os(errno));
    }
    done += static_cast<size_t>(put);
  }
  return {};
}

Result<int> open_regular(const std::string& name, struct stat* st) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::unexpected(IbtError::os(errno));
  const int code = ::fstat(fd, st) != 0 ? errno : !S_ISREG(st->st_mode) ? ENODEV : 0;
  if (code != 0) {
    ::close(fd);
    return std::unexpected(IbtError::os(code));
  }
  return fd;
}

class LiveFile final : public SharedMemory {
 public:
  LiveFile(std::string path, int fd, const struct stat& st)
      : path_(std::move(path)),
        fd_(fd),
        size_(static_cast<uint64_t>(st.st_size)),
        device_(st.st_dev),
        inode_(st.st_ino) {}
  LiveFile(const LiveFile&) = delete;
  LiveFile& operator=(const LiveFile&) = delete;
  ~LiveFile() override { ::close(fd_); }

  uint64_t size() const override {
    const std::lock_guard lock(mutex_);
    return size_;
  }

  Result<void> read(uint64_t offset, std::span<uint8_t> out) const override {
    const std::lock_guard lock(mutex_);
    if (offset > size_ || out.size() > size_ - offset) {
      return std::unexpected(IbtError::io("read past the end of the live file"));
    }
    return pread_full(fd_, offset, out, size_);
  }

  Result<void> write(uint64_t, std::span<const uint8_t>) override {
    return std::unexpected(IbtError::io("the live file was opened for reading"));
  }

  bool wait_signal(unsigned milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(milliseconds, kPollMs)));
    return false;
  }
  void signal() override {}

  Result<bool> refresh() override {
    const std::lock_guard lock(mutex_);
    struct stat st{};
    if (::stat(path_.c_str(), &st) != 0) return std::unexpected(IbtError::os(errno));
    if (st.st_dev != device_ || st.st_ino != inode_) {
      CORVEX_ASSIGN_OR_RETURN(const int fd, open_regular(path_, &st));
      ::close(fd_);
      fd_ = fd;
      device_ = st.st_dev;
      inode_ = st.st_ino;
      size_ = static_cast<uint64_t>(st.st_size);
      return true;
    }
    if (::fstat(fd_, &st) != 0) return std::unexpected(IbtError::os(errno));
    const bool grew = static_cast<uint64_t>(st.st_size) != size_;
    size_ = static_cast<uint64_t>(st.st_size);
    return grew;
  }

 private:
  // Readers on several threads share the file (a handle's latest() and its follower); a
  // refresh swaps the descriptor under them.
  mutable std::mutex mutex_;
  std::string path_;
  int fd_;
  uint64_t size_;
  dev_t device_;
  ino_t inode_;
};

// A file being published: written under a temporary name beside its target until commit().
class PublishedFile final : public SharedMemory {
 public:
  PublishedFile(std::string path, std::string temporary, int fd)
      : path_(std::move(path)), temporary_(std::move(temporary)), fd_(fd) {}
  PublishedFile(const PublishedFile&) = delete;
  PublishedFile& operator=(const PublishedFile&) = delete;
  ~PublishedFile() override {
    ::close(fd_);
    if (!committed_) ::unlink(temporary_.c_str());
  }

  uint64_t size() const override { return size_; }

  Result<void> read(uint64_t offset, std::span<uint8_t> out) const override {
    if (offset > size_ || out.size() > size_ - offset) {
      return std::unexpected(IbtError::io("read past the end of the live file"));
    }
    return pread_full(fd_, offset, out, size_);
  }

  Result<void> write(uint64_t offset, std::span<const uint8_t> bytes) override {
    CORVEX_RETURN_IF_ERROR(write_at(fd_, offset, bytes));
    if (offset + bytes.size() > size_) size_ = offset + bytes.size();
    return {};
  }

  bool wait_signal(unsigned milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(milliseconds, kPollMs)));
    return false;
  }
  void signal() override {}

  Result<void> commit() override {
    if (committed_) return {};
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
      return std::unexpected(IbtError::os(errno));
    }
    committed_ = true;
    return {};
  }

 private:
  std::string path_;
  std::string temporary_;
  int fd_;
  uint64_t size_ = 0;
  bool committed_ = false;
};

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Result<std::unique_ptr<SharedMemory>> open_live_file(std::string_view path) {
  CORVEX_RETURN_IF_ERROR(check_file_name(path));
  std::string name(path);
  struct stat st{};
  CORVEX_ASSIGN_OR_RETURN(const int fd, open_regular(name, &st));
  try {
    return std::make_unique<LiveFile>(std::move(name), fd, st);
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return std::unexpected(IbtError::out_of_memory("could not allocate a live file"));
  }
}

Result<std::unique_ptr<SharedMemory>> create_live_file(std::string_view path) {
  CORVEX_RETURN_IF_ERROR(check_file_name(path));
  const std::string name(path);
  if (name.empty() || name.back() == '/') {
    return std::unexpected(IbtError::io("a live file needs a file name, got '" + name + "'"));
  }
  std::random_device entropy;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string temporary = directory_of(name) + "/." + base_name(name) + ".tmp-" +
                                  std::to_string(::getpid()) + "-" + std::to_string(entropy());
    // Exclusive and owner-only from the start: nobody else can open it before it is complete.
    const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return std::unexpected(IbtError::os(errno));
    }
    try {
      return std::make_unique<PublishedFile>(name, temporary, fd);
    } catch (const std::bad_alloc&) {
      ::close(fd);
      ::unlink(temporary.c_str());
      return std::unexpected(IbtError::out_of_memory("could not allocate a live file"));
    }
  }
  return std::unexpected(IbtError::io("could not find a free temporary name beside " + name));
}

Result<std::unique_ptr<SharedMemory>> open_live_mapping() {
  return std::unexpected(IbtError::io(
      "the simulator's shared memory exists only on Windows; pass the path of a live telemetry "
      "file (a snapshot, or the file the bridge or a replay writes)"));
}

Result<std::unique_ptr<SharedMemory>> create_live_mapping(uint64_t) {
  return std::unexpected(IbtError::io(
      "the simulator's shared memory exists only on Windows; publish into a file instead"));
}

}  // namespace corvex
