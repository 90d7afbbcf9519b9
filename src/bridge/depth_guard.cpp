#include "bridge/depth_guard.h"

#include <cstring>

bool nestsTooDeep(std::string_view line, int limit) {
    const char* p = line.data();
    const char* const end = p + line.size();
    int depth = 0;
    while (p < end) {
        const char c = *p++;
        switch (c) {
            case '"':
                // Skip the string: a backslash hides the byte after it.
                while (p < end) {
                    const char s = *p++;
                    if (s == '"') break;
                    if (s == '\\') ++p;
                }
                break;
            case '[':
            case '{':
                if (++depth > limit) return true;
                break;
            case ']':
            case '}':
                --depth;
                break;
            default:
                break;
        }
    }
    return false;
}
