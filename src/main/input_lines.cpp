#include "main/input_lines.h"

#include <cstring>

namespace {

constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

bool InputLines::readLine(std::string& line) {
    line.clear();
    for (;;) {
        const char* unread = buffer.data() + start;
        const std::size_t available = buffer.size() - start;
        const void* lineFeed = available == 0 ? nullptr : std::memchr(unread, '\n', available);
        if (lineFeed != nullptr) {
            const std::size_t length = static_cast<const char*>(lineFeed) - unread;
            line.append(unread, length);
            start += length + 1;
            return true;
        }
        line.append(unread, available);
        buffer.clear();
        start = 0;
        if (ended) return !line.empty();
        buffer.resize(kChunk);
        const std::size_t got = source(buffer.data(), buffer.size());
        buffer.resize(got);
        if (got == 0) ended = true;
    }
}

bool InputLines::next(std::string& line) {
    while (readLine(line)) {
        if (firstLine) {
            firstLine = false;
            if (line.size() >= 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) return true;
    }
    return false;
}
