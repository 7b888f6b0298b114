// Replaces the global allocation functions of this test program to count them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "tests/control/LoopHarness.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void* allocate(std::size_t size, std::size_t alignment) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
  if (size == 0) size = 1;
  void* p = alignment <= alignof(std::max_align_t)
                ? std::malloc(size)
                : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, 0); }
void* operator new[](std::size_t size) { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) {
  return allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return allocate(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace nuvlet::test {
namespace {

long allocationsDuring(const std::function<void()>& work) {
  allocations = 0;
  counting = true;
  work();
  counting = false;
  return allocations.load();
}

TEST(TickAllocation, CounterSeesAllocations) {
  std::vector<int> grown;
  EXPECT_GT(allocationsDuring([&] { grown.resize(1000); }), 0);
}

TEST(TickAllocation, TicksThatMoveTheBacklightAllocateNothing) {
  LoopHarness h(0.5);
  h.backlight.recordWrites = false;
  const ContentSignature sig{0.1, 0.2, 0.5, 0.05, 0.0};
  // Two ambient bands that want different levels keep the loop moving in steps too
  // small to be logged, which is what it does most of the day.
  BrightnessModel model = BrightnessModel::empty();
  for (int hour = 0; hour < 24; ++hour) {
    model.table[ContentBucket::from(0.5, sig, 0.1, hour)] = BucketStat{0.45, 8};
    model.table[ContentBucket::from(0.5, sig, 0.9, hour)] = BucketStat{0.6, 3};
  }
  h.loop->setModel(std::move(model));
  double ambient = 0.1;
  h.loop->signatureProvider = [&] { return std::optional(sig); };
  h.loop->ambientProvider = [&] { return std::optional(ambient); };
  h.settle();
  for (int i = 0; i < 50; ++i) h.loop->onLuminanceUpdate(0.5, 0.5);  // warm up

  const auto writesBefore = h.backlight.writeCount;
  long n = 0;
  for (int i = 0; i < 2000; ++i) {
    if (i % 40 == 0) ambient = ambient < 0.5 ? 0.9 : 0.1;
    n += allocationsDuring([&] { h.loop->onLuminanceUpdate(0.5, 0.5); });
    h.clock.advance(0.1);
  }
  EXPECT_EQ(n, 0);
  EXPECT_GT(h.backlight.writeCount - writesBefore, 200u);
  EXPECT_TRUE(h.rows().empty()) << "the steps were meant to stay below the log threshold";
}

}  // namespace
}  // namespace nuvlet::test
