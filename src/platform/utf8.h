// Strict UTF-8 validation, shared by every platform.
#pragma once

#include <string_view>

namespace platform {

// True when `text` is well-formed UTF-8: shortest forms only, no surrogate code points, nothing
// above U+10FFFF. NUL bytes are allowed.
bool isValidUtf8(std::string_view text);

}  // namespace platform
