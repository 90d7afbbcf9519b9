// The one way to standard output: each call writes one text and one line feed, indivisibly with
// respect to every other call, and flushes.
#pragma once

#include <functional>
#include <mutex>
#include <string>

// Takes one complete JSON text without a line end. Callable from any thread.
using LineWriter = std::function<void(const std::string& text)>;

// A writer to standard output that serialises on `outputMutex`; all copies share that mutex,
// which must outlive them. A timed mutex, so that the end of the run can wait for a line being
// written without waiting for ever.
LineWriter makeStandardOutputWriter(std::timed_mutex& outputMutex);
