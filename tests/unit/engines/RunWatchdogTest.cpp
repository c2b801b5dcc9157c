#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "engines/RunWatchdog.h"

namespace {

using korva::detail::RunWatchdog;

// The thread, asleep until a far deadline, wakes for a nearer one armed
// later; only the run past its deadline is stopped, once, and Disarm says so.
TEST(RunWatchdog, StopsOnlyTheRunPastItsDeadline) {
    RunWatchdog watchdog;
    std::atomic<int> laterStops{0}, dueStops{0};
    std::promise<void> stopped;
    const auto later = watchdog.Arm(RunWatchdog::Clock::now() + std::chrono::hours(1), [&] { ++laterStops; });
    const auto due = watchdog.Arm(RunWatchdog::Clock::now(), [&] {
        if (++dueStops == 1) stopped.set_value();
    });
    // A bound against hanging, not a measurement.
    ASSERT_EQ(stopped.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_TRUE(watchdog.Disarm(due));
    EXPECT_FALSE(watchdog.Disarm(later));
    EXPECT_EQ(dueStops.load(), 1);
    EXPECT_EQ(laterStops.load(), 0);
}

}  // namespace
