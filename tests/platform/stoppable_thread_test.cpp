// The stop facility's guarantees: a stop ends a waiting thread at once, never waits for a thread
// inside a call-out nor for itself, and no call-out begins after it returned.
#include "StoppableThread.h"
#include "TestSystem.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

using namespace std::chrono_literals;

namespace sorvel {
namespace {

TEST(StoppableThread, StopsWaitsButNeverWaitsForACallOutOrForItself) {
    enum class Where { Sleeping, Polling, InCallOut, StoppingItself };
    for (Where where : {Where::Sleeping, Where::Polling, Where::InCallOut, Where::StoppingItself}) {
        SCOPED_TRACE(static_cast<int>(where));
        StoppableThread thread;
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<int> callOuts{0};
        std::atomic<bool> inCallOut{false}, ended{false}, wentOnAfterCallOut{false}, woke{false};
        ASSERT_TRUE(thread.Start([&, released](StopContext& context) {
            if (where == Where::Sleeping)
                context.WaitFor(1h);
            if (where == Where::Polling)
                woke = test::WaitReady(context.WakeFd(), 1h);
            if (where == Where::InCallOut || where == Where::StoppingItself) {
                wentOnAfterCallOut = context.CallOut([&] {
                    ++callOuts;
                    if (where == Where::StoppingItself)
                        thread.Stop(); // from inside: returns at once
                    inCallOut = true;
                    released.wait();
                });
            }
            // After a stop, no call-out begins.
            context.CallOut([&] { ++callOuts; });
            ended = true;
        }));
        // A stop ends a waiting thread whether it came before the wait or during it.
        if (where == Where::InCallOut || where == Where::StoppingItself) {
            ASSERT_TRUE(test::WaitUntil([&] { return inCallOut.load(); }));
        }
        thread.Stop();
        const bool heldByCallOut = where == Where::InCallOut || where == Where::StoppingItself;
        EXPECT_EQ(ended.load(), !heldByCallOut);
        release.set_value();
        EXPECT_TRUE(test::WaitUntil([&] { return ended.load(); }));
        EXPECT_EQ(callOuts.load(), heldByCallOut ? 1 : 0);
        EXPECT_FALSE(wentOnAfterCallOut.load());
        EXPECT_EQ(woke.load(), where == Where::Polling) << "the wake-up handle was not made ready";
    }
}

// A stop that races the thread's entry into its wait is never lost, and once Stop() has returned
// the thread ends by itself, waiting for no one on its way out. (Built with mingw-w64, the
// condition's stop-token wait lost a stop within a few hundred rounds, and a thread still being
// woken in the C++ runtime's shared wait table when the process ended held up its exit for ever.)
TEST(StoppableThread, NoStopIsLostWhileTheThreadEntersItsWait) {
    for (int round = 0; round < 1000; ++round) {
        StoppableThread thread;
        std::atomic<bool> running{false};
        auto held = std::make_shared<int>(0); // a copy lives in the body until the thread ends
        const std::weak_ptr<int> heldByThread = held;
        ASSERT_TRUE(thread.Start([&, held](StopContext& context) {
            running = true;
            if (round % 2 == 0)
                context.WaitForStop();
            else
                context.WaitFor(1h);
        }));
        held.reset();
        while (!running.load()) {
        }
        const auto start = std::chrono::steady_clock::now();
        thread.Stop();
        ASSERT_LT(std::chrono::steady_clock::now() - start, 10s) << "round " << round;
        ASSERT_TRUE(test::WaitUntil([&] { return heldByThread.expired(); })) << "round " << round;
    }
}

TEST(StoppableThread, ABoundedStopLeavesAStuckStepToEndByItself) {
    StoppableThread thread;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ASSERT_TRUE(thread.Start([released](StopContext&) { released.wait(); }));
    const auto start = std::chrono::steady_clock::now();
    thread.Stop(50ms);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    release.set_value();
}

} // namespace
} // namespace sorvel
