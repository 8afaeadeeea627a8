// What the live replay and bridge programs share: a stop flag set by Ctrl-C (or the console
// closing), paths given in Unix form under wine, a microsecond clock that wine's and Linux's
// processes share, and the optional log of publish times that the benchmarks read.
#pragma once

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace live_tool {

inline std::atomic<bool> stop_requested{false};

#if defined(_WIN32)
inline BOOL WINAPI on_console_event(DWORD) {
  stop_requested = true;
  return TRUE;
}
inline void install_stop_handler() { ::SetConsoleCtrlHandler(on_console_event, TRUE); }
#else
inline void on_signal(int) { stop_requested = true; }
inline void install_stop_handler() {
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
}
#endif

// Under wine a path in Unix form ("/dev/shm/x") names the Unix file: wine's own conversion gives
// its DOS name. Elsewhere, and for DOS paths, the path is used as it is.
inline std::string native_path(const std::string& path) {
#if defined(_WIN32)
  if (path.empty() || path[0] != '/') return path;
  using ToDos = wchar_t*(CDECL*)(const char*);
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  auto to_dos = kernel == nullptr ? nullptr
                                  : reinterpret_cast<ToDos>(reinterpret_cast<void (*)()>(
                                        ::GetProcAddress(kernel, "wine_get_dos_file_name")));
  if (to_dos == nullptr) return path;
  wchar_t* dos = to_dos(path.c_str());
  if (dos == nullptr) return path;
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, dos, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size - 1 : 0), '\0');
  if (size > 1) ::WideCharToMultiByte(CP_UTF8, 0, dos, -1, out.data(), size, nullptr, nullptr);
  ::HeapFree(::GetProcessHeap(), 0, dos);
  return out;
#else
  return path;
#endif
}

// Microseconds of the system's monotonic clock: under wine the performance counter counts the
// Linux monotonic clock, so logs written by the Windows programs and by Linux readers compare.
inline int64_t now_us() {
#if defined(_WIN32)
  LARGE_INTEGER count{}, frequency{};
  ::QueryPerformanceCounter(&count);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<int64_t>(static_cast<double>(count.QuadPart) * 1e6 /
                              static_cast<double>(frequency.QuadPart));
#else
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
#endif
}

// "tick microseconds" lines, one per published record, when a log was asked for.
class TimeLog {
 public:
  explicit TimeLog(const std::string& path)
      : file_(path.empty() ? nullptr : std::fopen(path.c_str(), "w")) {}
  TimeLog(const TimeLog&) = delete;
  TimeLog& operator=(const TimeLog&) = delete;
  ~TimeLog() {
    if (file_ != nullptr) std::fclose(file_);
  }
  bool failed(const std::string& path) const { return !path.empty() && file_ == nullptr; }
  void note(int32_t tick) {
    if (file_ != nullptr) std::fprintf(file_, "%" PRId32 " %" PRId64 "\n", tick, now_us());
  }

 private:
  std::FILE* file_;
};

}  // namespace live_tool
