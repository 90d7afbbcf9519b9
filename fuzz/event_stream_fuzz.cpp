// An app's reply body split as an event stream, and each text judged as a JSON-RPC text.
// Properties: no text holds CR or LF or is empty; toSingleLine keeps the length and every byte but
// CR and LF; a text taken as JSON-RPC is one JSON array, or one JSON object with "jsonrpc"; fed
// in pieces (their sizes taken from the input's first byte), the parser finds the same texts as
// from the whole body.
#include <rapidjson/document.h>

#include "applink/event_stream.h"
#include "applink/reply_texts.h"
#include "fuzz_support.h"
#include "jsonrpc/json.h"

namespace {

using fuzzing::fail;

void checkSingleLine(const std::string& text) {
    const std::string single = toSingleLine(text);
    if (single.size() != text.size()) fail("toSingleLine changed the length", text);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool lineBreak = text[i] == '\r' || text[i] == '\n';
        if (single[i] != (lineBreak ? ' ' : text[i])) fail("toSingleLine changed a byte", text);
    }
}

void checkJsonRpcText(const std::string& text) {
    if (!isJsonRpcText(text)) return;
    if (text.find('\0') != std::string::npos) fail("a text with a NUL byte passed", text);
    // With the bridge's parse: valid JSON that RapidJSON refuses (a lone surrogate escape, a number
    // past the double range) is JSON all the same. The text holds no NUL, so all of it is read.
    rapidjson::Document document;
    jsonrpc::parseJson(document, text);
    if (document.HasParseError()) fail("a text that is not JSON passed", text);
    if (!document.IsArray() && !(document.IsObject() && document.HasMember("jsonrpc"))) {
        fail("a JSON text that is neither an array nor a JSON-RPC object passed", text);
    }
}

std::vector<std::string> splitInPieces(const std::string& body, std::size_t piece) {
    std::vector<std::string> texts;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body = fuzzing::bytes(data, size);
    checkSingleLine(body);
    checkJsonRpcText(body);
    const std::vector<std::string> whole = splitEventStream(body);
    const std::size_t piece = size == 0 ? 1 : 1 + data[0] % 16;
    if (splitInPieces(body, piece) != whole) fail("pieces gave other texts than the whole", body);
    for (const std::string& text : whole) {
        if (text.empty()) fail("an event yielded an empty text", body);
        if (text.find_first_of("\r\n") != std::string::npos) fail("a text holds CR or LF", text);
        if (text.size() > body.size()) fail("a text is longer than the body", body);
        checkJsonRpcText(text);
    }
    return 0;
}
