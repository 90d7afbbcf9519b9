// Threads for messages: every task starts at once on a thread of its own, never waiting for
// another task. A thread that finished its task waits a little for the next before it ends, so a
// burst of messages doesn't pay a thread start for each one (a start costs far more than a
// hand-over on some systems). Only a few threads wait: under a flood a handed-over task waits for
// its thread to be scheduled, and with many waiting threads that wait would grow with their
// number, making the flood start ever more threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class MessageThreads {
  public:
    // `lifetime`: how long a thread that has nothing to do waits for a task before it ends;
    // `mostWaiting`: how many threads may wait at once (the others end after their task).
    explicit MessageThreads(std::chrono::milliseconds lifetime = std::chrono::seconds(2),
                            int mostWaiting = 16)
        : idleLifetime(lifetime), maxWaiting(mostWaiting) {}

    // Hands the task to a waiting thread, or starts a new one for it. Throws std::system_error
    // when a thread is needed and can't be started; the task is then not run.
    void run(std::function<void()> task);

    // The threads of the process, which live as long as it does.
    static MessageThreads& shared();

    // Threads waiting for a task.
    int waitingThreads();

  private:
    void waitForTasks();

    const std::chrono::milliseconds idleLifetime;
    const int maxWaiting;
    std::mutex mutex;
    std::condition_variable handedOver;
    std::deque<std::function<void()>> tasks;  // handed over, not yet taken
    int waiting = 0;                          // waiting threads that no task is promised to
};
