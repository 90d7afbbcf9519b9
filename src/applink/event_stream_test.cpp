#include "applink/event_stream.h"

#include <gtest/gtest.h>

#include "applink/reply_texts.h"

namespace {

using Texts = std::vector<std::string>;

// The data texts of the events, the body fed in pieces of `piece` bytes.
Texts splitInPieces(const std::string& body, std::size_t piece) {
    Texts texts;
    EventStreamParser parser(
        [&](StreamEvent& event) {
            if (!event.data.empty()) texts.push_back(toSingleLine(event.data));
        },
        body.size() + 1);
    for (std::size_t at = 0; at < body.size(); at += piece)
        parser.feed(std::string_view(body).substr(at, piece));
    parser.finish();
    return texts;
}

TEST(SplitEventStream, CollectsTheDataOfEachEvent) {
    const std::string obj = R"({"jsonrpc":"2.0","id":1,"result":{}})";
    const struct {
        std::string body;
        Texts texts;
    } cases[] = {
        {"data: " + obj + "\n\n", {obj}},
        {"data:" + obj + "\n\n", {obj}},
        {"event: message\nid: 4\n: comment\ndata: " + obj + "\nretry: 10\n\n", {obj}},
        {"data: a\ndata: b\n\n", {"a b"}},
        {"data:  two blanks\n\n", {" two blanks"}},
        {"data: no closing empty line", {"no closing empty line"}},
        {"data: one\r\n\r\ndata: two\r\rdata: three\n", {"one", "two", "three"}},
        {"data\n\ndata:\n\n: only a comment\n\n", {}},
        {"Data: x\n\ndata : y\n\n", {}},
        {"data: x\n\n\n\ndata: y\n", {"x", "y"}},
        {"data: a\rb\n\n", {"a"}},
        {"", {}},
        {"data: crlf\r\n\r\ndata: lf\n\n", {"crlf", "lf"}},
        {"data: a\r\r\n\ndata: b\n", {"a", "b"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(splitEventStream(c.body), c.texts) << c.body;
        // Fed in pieces, whatever their size, the parser finds the same events.
        for (const std::size_t piece : {1, 2, 7, 65536})
            EXPECT_EQ(splitInPieces(c.body, piece), c.texts) << c.body << " in pieces of " << piece;
    }
}

TEST(EventStreamParser, ReportsIdsAndTheLastRetry) {
    std::vector<StreamEvent> events;
    EventStreamParser parser([&](StreamEvent& event) { events.push_back(event); }, 1 << 20);
    parser.feed("id: 7\nretry: 1500\ndata:\n\n");
    parser.feed("event: message\ndata: {}\nid: 8\n\nretry: x\n\ndata: no id\n\n");
    parser.finish();

    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].id, "7");  // a priming event: an id and empty data
    EXPECT_EQ(events[0].data, "");
    EXPECT_EQ(events[1].id, "8");
    EXPECT_EQ(events[1].type, "message");
    EXPECT_EQ(events[1].data, "{}");
    EXPECT_EQ(events[2].id, std::nullopt);
    EXPECT_EQ(parser.retryMs(), 1500);
}

TEST(EventStreamParser, StopsAtAnEventLargerThanItsBound) {
    const struct {
        const char* name;
        std::vector<std::string> pieces;
        bool overflows;
    } cases[] = {
        {"one long line in pieces", {"data: ", std::string(60, 'x'), std::string(60, 'x')}, true},
        {"many data lines",
         {"data: " + std::string(40, 'x') + "\ndata: " + std::string(70, 'x') + "\n"},
         true},
        {"small events add up to more",
         {"data: " + std::string(60, 'x') + "\n\ndata: " + std::string(60, 'x') + "\n\n"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int events = 0;
        EventStreamParser parser([&](StreamEvent&) { ++events; }, 100);
        bool accepted = true;
        for (const std::string& piece : c.pieces)
            accepted = parser.feed(piece) && accepted;
        EXPECT_EQ(!accepted, c.overflows);
        EXPECT_EQ(parser.overflowed(), c.overflows);
        if (c.overflows) {
            EXPECT_FALSE(parser.feed("\n\n"));
        }
    }
}

}  // namespace
