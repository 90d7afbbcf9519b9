// Event streams ("text/event-stream") read incrementally: bytes go in as they arrive, in pieces of
// any size, and each event comes out as soon as it is complete. Memory is bounded by the largest
// event, not by the length of the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One dispatched event: its data lines joined by LF, and the fields the transport resumes by.
struct StreamEvent {
    std::string data;
    bool hasData = false;
    std::optional<std::string> id;  // the last "id" field of the event, when it had one
    std::string type;               // the "event" field; empty for the default type
};

class EventStreamParser {
  public:
    using EventSink = std::function<void(StreamEvent& event)>;

    // `maxEventBytes` bounds the pending line and the pending event together.
    EventStreamParser(EventSink sink, std::size_t maxEventBytes);

    // Feeds the next bytes. False, and nothing more is parsed, once an event outgrew the bound.
    bool feed(std::string_view bytes);
    // The end of the body: a last line without a break counts, and the pending event is
    // dispatched, as if the body ended with a blank line.
    void finish();

    bool overflowed() const { return tooLarge; }
    // The last "retry" field of the stream in milliseconds, when one was valid.
    std::optional<std::int64_t> retryMs() const { return retry; }

  private:
    void takeLine(std::string_view line);
    void dispatch();

    EventSink sink;
    const std::size_t maxBytes;
    std::string partialLine;     // a line whose break has not arrived yet
    bool skipLeadingLf = false;  // the last piece ended in CR: an LF next completes that break
    StreamEvent pending;
    std::optional<std::int64_t> retry;
    bool tooLarge = false;
};

// The data texts of the events of a whole event-stream body, each on a single line (CR and LF
// blanked); events without data, or with empty data, give nothing.
std::vector<std::string> splitEventStream(std::string_view body);
