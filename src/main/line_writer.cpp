#include "main/line_writer.h"

#include "platform/platform.h"

LineWriter makeStandardOutputWriter(std::timed_mutex& outputMutex) {
    return [mutex = &outputMutex](const std::string& text) {
        const std::lock_guard<std::timed_mutex> lock(*mutex);
        platform::writeStandardOutputLine(text);
    };
}
