#include "platform/system_mutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

// Runs fn on a thread of its own and waits for it to end.
template <typename Fn>
auto OnOtherThread(Fn fn) {
    auto task = std::async(std::launch::async, fn);
    return task.get();
}

// Holds the mutex on a second thread until the returned release promise is set.
class Holder {
  public:
    explicit Holder(SystemMutex& mutex) {
        thread = std::thread([this, &mutex] {
            acquired.set_value(mutex.Acquire(-1));
            release.get_future().wait();
            mutex.Release();
        });
        held = acquired.get_future().get();
    }
    ~Holder() {
        release.set_value();
        thread.join();
    }
    bool held = false;

  private:
    std::promise<bool> acquired;
    std::promise<void> release;
    std::thread thread;
};

TEST(SystemMutex, TimedAcquireFailsWhileAnotherThreadHoldsIt) {
    SystemMutex mutex;
    Holder holder(mutex);
    ASSERT_TRUE(holder.held);
    EXPECT_FALSE(mutex.Acquire(0));
    EXPECT_FALSE(mutex.Acquire(150));
}

// The wait's length as a behaviour, with a wide margin: not at once, not much later.
// The same test runs under a wall clock set an hour back (ctest: ..._SteppedClock), which
// must not change the wait.
TEST(SystemMutex, TimedAcquireGivesUpAfterItsLimit) {
    SystemMutex mutex;
    Holder holder(mutex);
    ASSERT_TRUE(holder.held);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(mutex.Acquire(500));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_GE(waited.count(), 450);
    EXPECT_LT(waited.count(), 5000);
}

TEST(SystemMutex, FreeMutexIsAcquiredWithAndWithoutLimit) {
    SystemMutex mutex;
    for (int timeoutMs : {-1, 0, 500}) {
        SCOPED_TRACE(timeoutMs);
        ASSERT_TRUE(mutex.Acquire(timeoutMs));
        EXPECT_TRUE(mutex.Release());
    }
}

TEST(SystemMutex, OwnerMayAcquireAgainAndNeedsOneReleaseForEach) {
    SystemMutex mutex;
    ASSERT_TRUE(mutex.Acquire(0));
    ASSERT_TRUE(mutex.Acquire(0));
    ASSERT_TRUE(mutex.Release());
    EXPECT_FALSE(OnOtherThread([&] { return mutex.Acquire(0); }))
        << "one release of two acquires must leave it held";
    ASSERT_TRUE(mutex.Release());
    EXPECT_FALSE(mutex.Release()) << "more releases than acquires";
    EXPECT_TRUE(OnOtherThread([&] {
        const bool acquired = mutex.Acquire(0);
        return acquired && mutex.Release();
    }));
}

TEST(SystemMutex, MutexAbandonedByEndedThreadIsAcquirable) {
    SystemMutex mutex;
    ASSERT_TRUE(OnOtherThread([&] { return mutex.Acquire(0); }));  // never released
    ASSERT_TRUE(mutex.Acquire(500));
    EXPECT_TRUE(mutex.Release());
    // It works normally afterwards, for this thread and for others.
    EXPECT_TRUE(OnOtherThread([&] { return mutex.Acquire(0) && mutex.Release(); }));
}

TEST(SystemMutex, ReleaseByThreadThatDoesNotOwnItFails) {
    SystemMutex mutex;
    EXPECT_FALSE(mutex.Release()) << "nobody owns it";
    {
        Holder holder(mutex);
        ASSERT_TRUE(holder.held);
        EXPECT_FALSE(mutex.Release());
    }
    // The failed release did not disturb it: the holder's own release freed it.
    EXPECT_TRUE(mutex.Acquire(0));
    EXPECT_TRUE(mutex.Release());
}

}  // namespace
