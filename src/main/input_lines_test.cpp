#include "main/input_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// Feeds `input` in pieces of at most `piece` bytes, as a pipe might deliver it.
std::vector<std::string> framedLines(const std::string& input, std::size_t piece) {
    std::size_t offset = 0;
    InputLines lines([&](char* buffer, std::size_t capacity) {
        const std::size_t n = std::min({capacity, piece, input.size() - offset});
        std::copy_n(input.data() + offset, n, buffer);
        offset += n;
        return n;
    });
    std::vector<std::string> result;
    for (std::string line; lines.next(line);)
        result.push_back(line);
    return result;
}

TEST(InputLines, FramesLinesWhateverPiecesTheyArriveIn) {
    const std::string bom = "\xEF\xBB\xBF";
    const struct {
        std::string input;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\nb\n", {"a", "b"}},
        {"a\nlast without line feed", {"a", "last without line feed"}},
        {bom + "{}\n" + bom + "{}\n", {"{}", bom + "{}"}},
        {bom + "\n{}\n", {"{}"}},
        {bom, {}},
        {"\n" + bom + "x\n", {bom + "x"}},
        {"a\r\nb\r\r\nc\r", {"a", "b\r", "c"}},
        {"\n\r\n\r\n\n", {}},
        {"   \n", {"   "}},
        {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
        {"", {}},
    };
    for (const auto& c : cases) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{65536}}) {
            EXPECT_EQ(framedLines(c.input, piece), c.lines) << "piece " << piece;
        }
    }
}

TEST(InputLines, KeepsAVeryLongLineWhole) {
    const std::string longLine(10 * 1024 * 1024 + 7, 'x');
    const auto lines = framedLines(longLine + "\nshort\n", 1 << 20);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), longLine.size());
    EXPECT_EQ(lines[1], "short");
}

}  // namespace
