/* An allocator that fails on request, loaded with LD_PRELOAD by test_alloc_failure.py.
 *
 * Every malloc, calloc, realloc, aligned_alloc, posix_memalign and memalign is passed to the
 * next definition (the C library's, or a sanitizer's when one is loaded after this library)
 * and counted while the shim is armed. alloc_shim_arm(n) arms it so that the n-th allocation
 * from then on returns NULL (just that one: the ones after it succeed again, so that the code
 * that handles the failure runs as it would in real life); alloc_shim_disarm() stops counting
 * and returns how many allocations were counted. alloc_shim_failed() says whether the failure
 * was delivered. The test calls these through ctypes.
 *
 * alloc_shim_report_to(fd, every) makes the shim write where allocations come from to fd: the
 * call stack of the failed allocation (a line "!<n>" and then the frames), and with `every` set
 * the stack of every counted allocation (a line "#<n>" and then the frames), which the test uses
 * to find where a call moves from one library to another. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <stdio.h>
#include <stdatomic.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

typedef void *(*malloc_fn)(size_t);
typedef void *(*calloc_fn)(size_t, size_t);
typedef void *(*realloc_fn)(void *, size_t);
typedef void *(*aligned_alloc_fn)(size_t, size_t);
typedef int (*posix_memalign_fn)(void **, size_t, size_t);

static malloc_fn next_malloc;
static calloc_fn next_calloc;
static realloc_fn next_realloc;
static aligned_alloc_fn next_aligned_alloc;
static aligned_alloc_fn next_memalign;
static posix_memalign_fn next_posix_memalign;

static atomic_int armed;
static atomic_long remaining;
static atomic_long counted;
static atomic_int failed;
static int report_fd = -1;
static int report_every;
static atomic_int reporting;

/* The stack of the allocation counted as number n; allocations made while writing it (the
 * unwinder's) are neither counted nor reported. */
static void report(char mark, long n, int depth) {
  void *frames[64];
  char line[32];
  int length = snprintf(line, sizeof line, "%c%ld\n", mark, n);
  int count = backtrace(frames, depth < 64 ? depth : 64);
  if (write(report_fd, line, (size_t)length) < 0) return;
  backtrace_symbols_fd(frames, count, report_fd);
}

/* dlsym may allocate (calloc) while the pointers are being looked up; those few requests are
 * served from here. Nothing allocated from it is ever freed. */
static _Alignas(16) char bootstrap[4096];
static atomic_size_t bootstrap_used;
static atomic_int resolving;

static void *bootstrap_alloc(size_t size) {
  size_t rounded = (size + 15) & ~(size_t)15;
  size_t at = atomic_fetch_add(&bootstrap_used, rounded);
  if (at + rounded > sizeof bootstrap) return NULL;
  return bootstrap + at;
}

static void resolve(void) {
  if (next_malloc != NULL) return;
  atomic_store(&resolving, 1);
  next_calloc = (calloc_fn)dlsym(RTLD_NEXT, "calloc");
  next_malloc = (malloc_fn)dlsym(RTLD_NEXT, "malloc");
  next_realloc = (realloc_fn)dlsym(RTLD_NEXT, "realloc");
  next_aligned_alloc = (aligned_alloc_fn)dlsym(RTLD_NEXT, "aligned_alloc");
  next_memalign = (aligned_alloc_fn)dlsym(RTLD_NEXT, "memalign");
  next_posix_memalign = (posix_memalign_fn)dlsym(RTLD_NEXT, "posix_memalign");
  atomic_store(&resolving, 0);
}

/* True when this allocation is the one to fail. */
static int should_fail(void) {
  if (!atomic_load_explicit(&armed, memory_order_relaxed)) return 0;
  if (atomic_load(&reporting)) return 0;
  long n = atomic_fetch_add(&counted, 1) + 1;
  int fail = atomic_fetch_sub(&remaining, 1) == 1;
  if (fail) atomic_store(&failed, 1);
  if (report_fd >= 0 && (fail || report_every)) {
    atomic_store(&reporting, 1);
    report(fail ? '!' : '#', n, fail ? 64 : 8);
    atomic_store(&reporting, 0);
  }
  return fail;
}

/* True when this allocation is the one to fail, with errno set to ENOMEM as the C library's
 * allocators leave it when they return NULL. */
static int refuse(void) {
  if (!should_fail()) return 0;
  errno = ENOMEM;
  return 1;
}

void alloc_shim_report_to(int fd, int every) {
  void *frames[4];
  backtrace(frames, 4); /* loads the unwinder now rather than inside an armed allocation */
  report_fd = fd;
  report_every = every;
}

void alloc_shim_arm(long n) {
  atomic_store(&counted, 0);
  atomic_store(&failed, 0);
  atomic_store(&remaining, n);
  atomic_store(&armed, 1);
}

long alloc_shim_disarm(void) {
  atomic_store(&armed, 0);
  return atomic_load(&counted);
}

int alloc_shim_failed(void) { return atomic_load(&failed); }

void *malloc(size_t size) {
  resolve();
  return refuse() ? NULL : next_malloc(size);
}

void *calloc(size_t count, size_t size) {
  if (next_calloc == NULL) {
    if (atomic_load(&resolving)) {
      void *p = count != 0 && size > sizeof bootstrap / count ? NULL : bootstrap_alloc(count * size);
      if (p != NULL) memset(p, 0, count * size);
      return p;
    }
    resolve();
  }
  return refuse() ? NULL : next_calloc(count, size);
}

void *realloc(void *pointer, size_t size) {
  resolve();
  return refuse() ? NULL : next_realloc(pointer, size);
}

void *aligned_alloc(size_t alignment, size_t size) {
  resolve();
  return refuse() ? NULL : next_aligned_alloc(alignment, size);
}

void *memalign(size_t alignment, size_t size) {
  resolve();
  return refuse() ? NULL : next_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size) {
  resolve();
  if (should_fail()) return ENOMEM;
  return next_posix_memalign(out, alignment, size);
}
