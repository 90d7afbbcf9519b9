// The nesting-depth guard: the one check a host line gets before anything parses it, so that no
// parse can be driven arbitrarily deep.
#pragma once

#include <string_view>

constexpr int kMaxNestingDepth = 256;

// True when the line opens arrays or objects more than `limit` levels deep. Brackets inside
// strings don't count; JSON syntax is not checked; closing brackets may drive the count below 0.
bool nestsTooDeep(std::string_view line, int limit = kMaxNestingDepth);
