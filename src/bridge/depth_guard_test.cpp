#include "bridge/depth_guard.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string nested(int levels) {
    return std::string(levels, '[') + std::string(levels, ']');
}

TEST(DepthGuard, AllowsExactlyTheLimit) {
    EXPECT_FALSE(nestsTooDeep(nested(256)));
    EXPECT_TRUE(nestsTooDeep(nested(257)));
    EXPECT_TRUE(nestsTooDeep(std::string(257, '{')));
    EXPECT_TRUE(nestsTooDeep(std::string(100000000, '[')));
}

TEST(DepthGuard, CountsOnlyBracketsOutsideStrings) {
    const struct {
        std::string line;
        bool tooDeep;
    } cases[] = {
        {"[\"" + std::string(300, '[') + "\"]", false},
        // An escaped quotation mark doesn't end the string...
        {"[\"\\\"" + std::string(300, '[') + "\"]", false},
        // ...but an escaped backslash before one doesn't hide it.
        {"[\"\\\\\"" + std::string(300, '[') + "]", true},
        // Closing brackets drive the count below zero.
        {std::string(10, ']') + std::string(266, '['), false},
        {std::string(10, ']') + std::string(267, '['), true},
        // NUL bytes are scanned over like any other byte.
        {std::string("[\0", 2) + std::string(256, '['), true},
        {"", false},
        // A string left open at the end hides everything after its quotation mark.
        {"\"" + std::string(300, '['), false},
        {"[\"\\", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nestsTooDeep(c.line), c.tooDeep) << c.line.substr(0, 40);
    }
}

// The rule as plainly as it can be written: one byte at a time.
bool referenceTooDeep(const std::string& line, int limit) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

TEST(DepthGuard, AgreesWithTheByteByByteRuleOnRandomLines) {
    std::mt19937 random(12345);
    const char alphabet[] = {'[', ']', '{', '}', '"', '\\', 'a'};
    for (int round = 0; round < 20000; ++round) {
        std::string line(random() % 64, ' ');
        for (char& c : line)
            c = alphabet[random() % sizeof alphabet];
        ASSERT_EQ(nestsTooDeep(line, 3), referenceTooDeep(line, 3)) << line;
    }
}

}  // namespace
