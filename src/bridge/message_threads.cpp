#include "bridge/message_threads.h"

#include "platform/platform.h"

MessageThreads& MessageThreads::shared() {
    // Never destroyed: waiting threads may outlive everything else.
    static MessageThreads* const threads = new MessageThreads;
    return *threads;
}

int MessageThreads::waitingThreads() {
    const std::lock_guard<std::mutex> lock(mutex);
    return waiting;
}

void MessageThreads::run(std::function<void()> task) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (waiting > 0) {
            --waiting;
            tasks.push_back(std::move(task));
            handedOver.notify_one();
            return;
        }
    }
    platform::startDetachedThread([this, first = std::move(task)]() mutable {
        first();
        first = nullptr;
        waitForTasks();
    });
}

void MessageThreads::waitForTasks() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (waiting >= maxWaiting) return;
        ++waiting;
        if (!handedOver.wait_for(lock, idleLifetime, [this] { return !tasks.empty(); })) {
            --waiting;
            return;
        }
        // run() took this thread off `waiting` when it handed the task over.
        std::function<void()> task = std::move(tasks.front());
        tasks.pop_front();
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
    }
}
