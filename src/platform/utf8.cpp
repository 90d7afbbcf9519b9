#include "platform/utf8.h"

#include <cstdint>

namespace platform {

bool isValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        int trailing = 0;
        std::uint32_t lowestSecond = 0x80, highestSecond = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            trailing = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            trailing = 2;
            if (lead == 0xE0) lowestSecond = 0xA0;   // overlong
            if (lead == 0xED) highestSecond = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            trailing = 3;
            if (lead == 0xF0) lowestSecond = 0x90;   // overlong
            if (lead == 0xF4) highestSecond = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (end - p <= trailing) return false;
        if (p[1] < lowestSecond || p[1] > highestSecond) return false;
        for (int i = 2; i <= trailing; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
        }
        p += trailing + 1;
    }
    return true;
}

}  // namespace platform
