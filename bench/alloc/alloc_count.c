/* Counting allocator shim, loaded with LD_PRELOAD into a server under test.
 *
 * Every malloc/calloc/realloc/memalign family call (and so every operator new)
 * bumps counters that live in a small shared file named by
 * OSTRA_BENCH_ALLOC_FILE, so the benchmark client can read them at any time
 * without stopping the process. Layout: four little-endian uint64 words
 * {magic "ostraalc", allocations, frees, bytes requested}. The real work is
 * done by glibc's own entry points, so the shim adds one atomic add per call. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void __libc_free(void*);
extern void* __libc_memalign(size_t, size_t);

struct counters {
  uint64_t magic, allocs, frees, bytes;
};

static struct counters early; /* used until the shared file is mapped */
static struct counters* ctr = &early;

__attribute__((constructor)) static void alloc_count_init(void) {
  char const* path = getenv("OSTRA_BENCH_ALLOC_FILE");
  if (!path || !*path) return;
  int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  if (ftruncate(fd, 4096) == 0) {
    void* m = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m != MAP_FAILED) {
      struct counters* c = (struct counters*)m;
      c->allocs = early.allocs;
      c->frees = early.frees;
      c->bytes = early.bytes;
      c->magic = 0x6f73747261616c63ull;
      ctr = c;
    }
  }
  close(fd);
}

static inline void count_alloc(size_t n) {
  __atomic_fetch_add(&ctr->allocs, 1, __ATOMIC_RELAXED);
  __atomic_fetch_add(&ctr->bytes, n, __ATOMIC_RELAXED);
}

void* malloc(size_t n) {
  count_alloc(n);
  return __libc_malloc(n);
}

void* calloc(size_t a, size_t b) {
  count_alloc(a * b);
  return __libc_calloc(a, b);
}

void* realloc(void* p, size_t n) {
  count_alloc(n);
  return __libc_realloc(p, n);
}

void free(void* p) {
  if (p) __atomic_fetch_add(&ctr->frees, 1, __ATOMIC_RELAXED);
  __libc_free(p);
}

void* memalign(size_t al, size_t n) {
  count_alloc(n);
  return __libc_memalign(al, n);
}

void* aligned_alloc(size_t al, size_t n) {
  count_alloc(n);
  return __libc_memalign(al, n);
}

int posix_memalign(void** out, size_t al, size_t n) {
  count_alloc(n);
  void* p = __libc_memalign(al, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
