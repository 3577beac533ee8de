#include "core/control/capture_buffer_leases.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace tembrolexinsdk {
namespace {

using std::chrono::milliseconds;
using Steady = std::chrono::steady_clock;

// Buffers 1 and 2 read by one consumer each, as a feeder finds them after
// filling buffer 0 of five.
struct Leases {
  Leases() {
    leases.reset(5);
    g1 = leases.acquire(1);
    g2 = leases.acquire(2);
  }
  CaptureBufferLeases leases;
  unsigned g1 = 0;
  unsigned g2 = 0;
};

TEST(CaptureBufferLeasesTest, AFreeBufferIsNotHeldForTheOneAfterIt) {
  Leases l;
  l.leases.release(1, l.g1);
  // Buffer 2 stays read: had the wait been for it, this would take 10 s.
  const auto began = Steady::now();
  EXPECT_TRUE(l.leases.awaitFree(1, milliseconds(10000), 2));
  EXPECT_LT(Steady::now() - began, milliseconds(5000));
}

TEST(CaptureBufferLeasesTest, ReleasesFromAnotherThreadEndTheWait) {
  Leases l;
  auto waiter = std::async(std::launch::async,
                           [&] { return l.leases.awaitFree(1, milliseconds(10000), 2); });
  l.leases.release(1, l.g1);
  l.leases.release(2, l.g2);
  EXPECT_TRUE(waiter.get());
}

TEST(CaptureBufferLeasesTest, OnlyTheNeededBufferDecidesTheOutcome) {
  Leases l;
  // Buffer 2 is never freed: freeing buffer 1, before or during the wait,
  // succeeds (at the latest when the limit ends the wait for buffer 2).
  auto waiter = std::async(std::launch::async,
                           [&] { return l.leases.awaitFree(1, milliseconds(50), 2); });
  l.leases.release(1, l.g1);
  EXPECT_TRUE(waiter.get());
  const auto began = Steady::now();
  EXPECT_FALSE(l.leases.awaitFree(2, milliseconds(30), 3));
  EXPECT_GE(Steady::now() - began, milliseconds(30));
}

TEST(CaptureBufferLeasesTest, AResetEndsTheWait) {
  Leases l;
  auto waiter = std::async(std::launch::async,
                           [&] { return l.leases.awaitFree(1, milliseconds(10000), 2); });
  l.leases.reset(5);
  EXPECT_TRUE(waiter.get());
  l.leases.release(1, l.g1);  // a lease of before the reset: ignored
  EXPECT_TRUE(l.leases.isFree(1));
}

}  // namespace
}  // namespace tembrolexinsdk
