// Counts the allocations this test binary makes, so that a test can check
// that some path allocates nothing. Every plain and array form of new and
// delete is replaced together (malloc and free under all of them), so that
// memory from one form is never released by a library's other form; the
// aligned forms are left alone and stay paired with each other.

#include "counting_new.h"

#include <cstdlib>
#include <new>

namespace {
std::size_t allocations = 0;  // one thread; read only between calls

void* counted(std::size_t size) noexcept {
  ++allocations;
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

namespace varnok::testing {
std::size_t allocationsSoFar() {
  return allocations;
}
}  // namespace varnok::testing

void* operator new(std::size_t size) {
  if (void* p = counted(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = counted(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
