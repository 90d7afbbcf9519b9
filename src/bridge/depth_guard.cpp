#include "bridge/depth_guard.h"

#include <cstring>

namespace {

// The end of the string that starts just after `p`'s opening quotation mark: the quotation mark
// that a backslash doesn't hide, or `end`. Strings are most of a typical line, so the scan jumps
// from one quotation mark to the next and only then looks back at the backslashes before it: an
// odd run of them escapes it.
const char* skipString(const char* p, const char* end) {
    const char* const start = p;
    for (;;) {
        const void* quote = std::memchr(p, '"', static_cast<std::size_t>(end - p));
        if (quote == nullptr) return end;
        const char* q = static_cast<const char*>(quote);
        const char* b = q;
        while (b > start && b[-1] == '\\')
            --b;
        if ((q - b) % 2 == 0) return q + 1;
        p = q + 1;
    }
}

}  // namespace

bool nestsTooDeep(std::string_view line, int limit) {
    const char* p = line.data();
    const char* const end = p + line.size();
    int depth = 0;
    while (p < end) {
        switch (*p++) {
            case '"':
                p = skipString(p, end);
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
