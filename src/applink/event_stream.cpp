#include "applink/event_stream.h"

#include <algorithm>

#include "applink/reply_texts.h"

EventStreamParser::EventStreamParser(EventSink sinkIn, std::size_t maxEventBytes)
    : sink(std::move(sinkIn)), maxBytes(maxEventBytes) {}

bool EventStreamParser::feed(std::string_view bytes) {
    if (tooLarge) return false;
    if (skipLeadingLf && !bytes.empty()) {
        skipLeadingLf = false;
        if (bytes.front() == '\n') bytes.remove_prefix(1);
    }
    while (!bytes.empty()) {
        const std::size_t lineBreak = bytes.find_first_of("\r\n");
        if (lineBreak == std::string_view::npos) {
            if (partialLine.size() + pending.data.size() + bytes.size() > maxBytes) {
                tooLarge = true;
                return false;
            }
            partialLine.append(bytes);
            return true;
        }
        std::size_t next = lineBreak + 1;
        if (bytes[lineBreak] == '\r') {
            if (next == bytes.size()) {
                skipLeadingLf = true;  // the LF of a CR LF pair may be in the next piece
            } else if (bytes[next] == '\n') {
                ++next;
            }
        }
        if (partialLine.empty()) {
            takeLine(bytes.substr(0, lineBreak));
        } else {
            partialLine.append(bytes.substr(0, lineBreak));
            const std::string line = std::move(partialLine);
            partialLine.clear();
            takeLine(line);
        }
        if (pending.data.size() > maxBytes) {
            tooLarge = true;
            return false;
        }
        bytes.remove_prefix(next);
    }
    return true;
}

void EventStreamParser::finish() {
    if (tooLarge) return;
    if (!partialLine.empty()) {
        const std::string line = std::move(partialLine);
        partialLine.clear();
        takeLine(line);
    }
    dispatch();
}

void EventStreamParser::takeLine(std::string_view line) {
    if (line.empty()) {
        dispatch();
        return;
    }
    if (line.front() == ':') return;  // a comment
    const std::size_t colon = line.find(':');
    const std::string_view name = line.substr(0, colon);
    std::string_view value =
        colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (name == "data") {
        if (pending.hasData) pending.data += '\n';
        pending.data += value;
        pending.hasData = true;
    } else if (name == "id") {
        // An id holding NUL is ignored, as event-stream readers do.
        if (value.find('\0') == std::string_view::npos) pending.id = std::string(value);
    } else if (name == "event") {
        pending.type = value;
    } else if (name == "retry") {
        if (!value.empty() && value.size() <= 12 &&
            std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            std::int64_t ms = 0;
            for (const char c : value)
                ms = ms * 10 + (c - '0');
            retry = ms;
        }
    }
}

void EventStreamParser::dispatch() {
    if (pending.hasData || pending.id) sink(pending);
    pending = StreamEvent{};
}

std::vector<std::string> splitEventStream(std::string_view body) {
    std::vector<std::string> texts;
    EventStreamParser parser(
        [&](StreamEvent& event) {
            if (!event.data.empty()) texts.push_back(toSingleLine(std::move(event.data)));
        },
        body.size() + 1);
    parser.feed(body);
    parser.finish();
    return texts;
}
