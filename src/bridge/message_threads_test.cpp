#include "bridge/message_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Polls `condition` for up to five seconds.
template <typename Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

// Threads for one test. Never destroyed, as their waiting threads may outlive the test; kept
// reachable so the leak checker doesn't count them.
MessageThreads& lastingThreads(std::chrono::milliseconds lifetime, int mostWaiting = 16) {
    static auto* const all = new std::vector<MessageThreads*>;
    all->push_back(new MessageThreads(lifetime, mostWaiting));
    return *all->back();
}

TEST(MessageThreads, ATaskNeverWaitsForAnother) {
    auto& threads = lastingThreads(1s);
    std::promise<void> secondRan;
    std::shared_future<void> second = secondRan.get_future().share();
    std::promise<bool> firstSawSecond;
    threads.run(
        [&] { firstSawSecond.set_value(second.wait_for(5s) == std::future_status::ready); });
    threads.run([&] { secondRan.set_value(); });
    EXPECT_TRUE(firstSawSecond.get_future().get());
}

TEST(MessageThreads, AFinishedThreadTakesTheNextTask) {
    auto& threads = lastingThreads(5s);
    std::promise<std::thread::id> first, second;
    threads.run([&] { first.set_value(std::this_thread::get_id()); });
    const std::thread::id firstId = first.get_future().get();
    ASSERT_TRUE(eventually([&] { return threads.waitingThreads() == 1; }));
    threads.run([&] { second.set_value(std::this_thread::get_id()); });
    EXPECT_EQ(second.get_future().get(), firstId);
    EXPECT_TRUE(eventually([&] { return threads.waitingThreads() == 1; }));
}

TEST(MessageThreads, AnIdleThreadEndsAfterItsLifetime) {
    auto& threads = lastingThreads(50ms);
    std::atomic<int> ran{0};
    for (int i = 0; i < 20; ++i)
        threads.run([&] { ++ran; });
    EXPECT_TRUE(eventually([&] { return ran == 20; }));
    EXPECT_TRUE(eventually([&] { return threads.waitingThreads() == 0; }));
    // A task after that starts a new thread.
    threads.run([&] { ++ran; });
    EXPECT_TRUE(eventually([&] { return ran == 21; }));
}

TEST(MessageThreads, OnlyAFewThreadsStayToWait) {
    auto& threads = lastingThreads(5s, 3);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> started{0}, finished{0};
    for (int i = 0; i < 10; ++i) {
        threads.run([&] {
            ++started;
            released.wait();
            ++finished;
        });
    }
    // Ten tasks ran side by side, so ten threads were started.
    ASSERT_TRUE(eventually([&] { return started == 10; }));
    release.set_value();
    ASSERT_TRUE(eventually([&] { return finished == 10; }));
    EXPECT_TRUE(eventually([&] { return threads.waitingThreads() == 3; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(threads.waitingThreads(), 3);
}

}  // namespace
