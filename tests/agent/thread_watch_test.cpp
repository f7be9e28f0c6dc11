#include "agent/thread_watch.hpp"
#include "support/capture.hpp"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace
{
constexpr std::chrono::milliseconds POLL{1};
constexpr int POLL_LIMIT = 5000;

// A thread whose Entry() takes its own lock as often as the test asks, and ends, returning or
// throwing, once told to stop.
class Stepper : public tdThread
{
public:
    explicit Stepper(bool throws) : tdThread("stepper"), throws(throws) {}
    ~Stepper() override
    {
        Terminate();
        Join();
    }

    void *Entry() override
    {
        while (!ShouldTerminate()) {
            if (taken < wanted) {
                Lock();
                Unlock();
                taken++;
            } else
                std::this_thread::sleep_for(POLL);
        }
        if (throws)
            throw std::runtime_error("stopped");
        return nullptr;
    }

    // True once Entry() has taken its lock `times` more times.
    bool TakeOwnLock(uint64_t times)
    {
        wanted += times;
        for (int i = 0; i < POLL_LIMIT && taken < wanted; i++)
            std::this_thread::sleep_for(POLL);
        return taken == wanted;
    }

private:
    bool throws;
    std::atomic<uint64_t> wanted{0}, taken{0};
};

TEST(ThreadWatch, CountsOwnLocksSinceAnotherThreadLocked)
{
    struct Step {
        const char *name;
        uint64_t own; // 0: the test's own thread takes the lock once
        uint64_t expected;
    };
    const Step steps[] = {
        {"two own", 2, 2},    {"another thread", 0, 0}, {"one own", 1, 1},
        {"three more", 3, 4}, {"another again", 0, 0},
    };
    Stepper stepper(false);
    EXPECT_EQ(tdThreadWatch::OwnLocks(stepper), 0u);
    stepper.Create();
    for (const auto &step : steps) {
        SCOPED_TRACE(step.name);
        if (step.own > 0) {
            ASSERT_TRUE(stepper.TakeOwnLock(step.own));
        } else {
            stepper.Lock();
            stepper.Unlock();
        }
        EXPECT_EQ(tdThreadWatch::OwnLocks(stepper), step.expected);
    }
}

TEST(ThreadWatch, EndedOnceEntryLeaves)
{
    for (bool throws : {false, true}) {
        SCOPED_TRACE(throws ? "throws" : "returns");
        LogCapture capture;
        Stepper stepper(throws);
        stepper.Create();
        ASSERT_TRUE(stepper.TakeOwnLock(1));
        EXPECT_FALSE(tdThreadWatch::Ended(stepper));
        stepper.Terminate();
        stepper.Join();
        EXPECT_TRUE(tdThreadWatch::Ended(stepper));
    }
}
} // namespace
