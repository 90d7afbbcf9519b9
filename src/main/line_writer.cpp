#include "main/line_writer.h"

#include "platform/platform.h"

LineWriter makeStandardOutputWriter(std::mutex& outputMutex) {
    return [mutex = &outputMutex](const std::string& text) {
        const std::lock_guard<std::mutex> lock(*mutex);
        platform::writeStandardOutputLine(text);
    };
}
