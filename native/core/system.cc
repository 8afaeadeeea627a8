#include "core/system.h"

#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sched.h>
#endif

namespace corvex {

unsigned usable_cores() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
#endif
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

MemoryLimit system_memory_limit() {
  MemoryLimit limit{UINT64_MAX, "no limit known"};
  auto lower = [&limit](uint64_t bytes, const char* source) {
    if (bytes > 0 && bytes < limit.bytes) limit = MemoryLimit{bytes, source};
  };
#if defined(_WIN32)
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (::GlobalMemoryStatusEx(&status)) lower(status.ullTotalPhys, "the physical memory");
#else
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && page > 0) {
    lower(static_cast<uint64_t>(pages) * static_cast<uint64_t>(page), "the physical memory");
  }
  struct rlimit r{};
  if (::getrlimit(RLIMIT_AS, &r) == 0 && r.rlim_cur != RLIM_INFINITY) {
    lower(static_cast<uint64_t>(r.rlim_cur), "the address-space limit");
  }
#ifdef RLIMIT_DATA
  if (::getrlimit(RLIMIT_DATA, &r) == 0 && r.rlim_cur != RLIM_INFINITY) {
    lower(static_cast<uint64_t>(r.rlim_cur), "the data-size limit");
  }
#endif
#endif
  return limit;
}

}  // namespace corvex
