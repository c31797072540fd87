#include "support/host_allocations.h"

#include <cerrno>
#include <cstddef>

// The C library's own entry points, which the replacements below forward to,
// so that every block still belongs to one allocator (free needs no change).
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t align, size_t size);
}

namespace {

// Constant-initialised, so reading them needs no allocation of its own.
thread_local bool counting = false;
thread_local uint64_t allocations = 0;
thread_local uint64_t largest_request = 0;

void note(size_t size) {
  if (!counting) return;
  ++allocations;
  if (size > largest_request) largest_request = size;
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
  note(size);
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  note(count * size);
  return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) {
  note(size);
  return __libc_realloc(p, size);
}
void* memalign(size_t align, size_t size) {
  note(size);
  return __libc_memalign(align, size);
}
void* aligned_alloc(size_t align, size_t size) {
  note(size);
  return __libc_memalign(align, size);
}
int posix_memalign(void** out, size_t align, size_t size) {
  note(size);
  if (align < sizeof(void*) || (align & (align - 1)) != 0) return EINVAL;
  void* p = __libc_memalign(align, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}

}  // extern "C"

namespace tesvan::test {

HostAllocationScope::HostAllocationScope()
    : start_(allocations), outer_largest_(largest_request), outer_active_(counting) {
  counting = true;
  largest_request = 0;
}

HostAllocationScope::~HostAllocationScope() {
  counting = outer_active_;
  if (outer_largest_ > largest_request) largest_request = outer_largest_;
}

uint64_t HostAllocationScope::count() const { return allocations - start_; }

uint64_t HostAllocationScope::largest() const { return largest_request; }

}  // namespace tesvan::test
