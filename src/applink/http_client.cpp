#include "applink/http_client.h"

// The interrupter runs under the lock, so detach() can't return, and the client go away, while
// it runs.
void ExchangeStop::request() {
    const std::lock_guard<std::mutex> lock(mutex);
    stopRequested = true;
    if (interrupter) interrupter();
    changed.notify_all();
}

bool ExchangeStop::waitFor(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [this] { return stopRequested; });
}

bool ExchangeStop::requested() {
    const std::lock_guard<std::mutex> lock(mutex);
    return stopRequested;
}

void ExchangeStop::attach(std::function<void()> interrupt) {
    const std::lock_guard<std::mutex> lock(mutex);
    interrupter = std::move(interrupt);
    if (stopRequested) interrupter();
}

void ExchangeStop::detach() {
    const std::lock_guard<std::mutex> lock(mutex);
    interrupter = nullptr;
}
