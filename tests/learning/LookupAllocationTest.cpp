// Counts heap allocations in this test binary, so a lookup that starts allocating on
// the ten-times-a-second path is caught deterministically.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "nuvlet/learning/BrightnessModel.h"

namespace {
std::atomic<long> allocations{0};
}

// Every replaceable form that pairs with free() is replaced, so that memory from one
// form is never released through another (AddressSanitizer checks that).
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace nuvlet {
namespace {

TEST(BrightnessModelLookup, AllocatesNothing) {
  auto model = BrightnessModel::empty();
  for (std::int64_t lum = 0; lum < 8; ++lum) {
    for (std::int64_t tod = 0; tod < 4; ++tod) {
      model.table[ContentBucket{lum, 0, 0, 0, 1, tod, std::nullopt}] = {0.5, lum + tod};
      model.table[ContentBucket{lum, 0, 0, 0, 1, tod, 1}] = {0.6, 9};
    }
  }
  double sum = 0;
  const long before = allocations.load();
  for (int i = 0; i < 1000; ++i) {
    const double lum = (i % 100) / 100.0;
    sum += model.preferredBacklight(lum, ContentSignature::neutral(lum),
                                    i % 2 ? std::optional<double>(0.4) : std::nullopt, i % 24);
  }
  EXPECT_EQ(allocations.load() - before, 0);
  EXPECT_GT(sum, 0);
}

}  // namespace
}  // namespace nuvlet
