#include "jsonrpc/screening.h"

#include <gtest/gtest.h>

#include <vector>

#include "jsonrpc/json.h"

namespace {

// Answers every request with a marker naming its id and method, and records the calls.
struct RecordingResponder {
    std::vector<std::string> calls;
    jsonrpc::Responder get() {
        return [this](const std::string& id, const std::string& method) {
            calls.push_back(id + " " + method);
            return "R(" + id + "," + method + ")";
        };
    }
};

std::string screen(const std::string& line, RecordingResponder& responder) {
    rapidjson::Document document;
    jsonrpc::parseJson(document, line);
    return jsonrpc::screenDocument(document, line, responder.get());
}

std::string invalid(const char* id, const char* message) {
    return jsonrpc::errorReply(id, -32600, message);
}

TEST(Screening, JudgesEachKindOfMessage) {
    const std::string parseError =
        jsonrpc::errorReply("null", -32700, "Parse error: the message is not valid JSON");
    const std::string notObject =
        invalid("null", "Invalid Request: expected a JSON object or array");
    const std::string badVersion7 = invalid("7", "Invalid JSON-RPC version");
    const struct {
        std::string line;
        std::string expected;
    } cases[] = {
        // Requests reach the responder with their id as the host wrote it.
        {R"({"jsonrpc":"2.0","id":7,"method":"ping"})", "R(7,ping)"},
        {R"({"jsonrpc":"2.0","id":"a\/b","method":"x"})", R"(R("a\/b",x))"},
        {R"({"jsonrpc":"2.0","id":1E2,"method":"x"})", "R(1E2,x)"},
        {R"({"jsonrpc":"2.0", "id" : -0 ,"method":"x"})", "R(-0,x)"},
        {R"({"jsonrpc":"2.0","id":1e400,"method":"x"})", "R(1e400,x)"},
        {R"({"jsonrpc":"2.0","id":"\ud800","method":"x"})", R"(R("\ud800",x))"},
        {R"({"jsonrpc":"1.0","id":12345678901234567890123,"method":"x"})",
         invalid("12345678901234567890123", "Invalid JSON-RPC version")},
        {R"([{"jsonrpc":"2.0","id":18446744073709551616,"method":"x"},{"id":[1,"]"],"jsonrpc":"2.0","method":"y"},{"jsonrpc":"2.0","id":1.50,"method":"z"}])",
         "[R(18446744073709551616,x)," + invalid("null", "The id must be a string or a number") +
             ",R(1.50,z)]"},
        {R"({"jsonrpc":"2.0","id":1,"method":"a\u0000b"})", "R(1,a)"},
        // Notifications and responses need nothing.
        {R"({"jsonrpc":"2.0","method":"x"})", ""},
        {R"({"jsonrpc":"2.0","id":7,"result":{}})", ""},
        {R"({"jsonrpc":"2.0","id":null,"error":{}})", ""},
        {R"({"jsonrpc":"1.0","result":1})", ""},
        // Malformed messages.
        {R"({"jsonrpc":"2.0","id":7})", invalid("7", "The request has no method")},
        {R"({"jsonrpc":"2.0","id":"a","method":5})",
         invalid(R"("a")", "The request has no method")},
        {R"({"jsonrpc":"2.0","id":"a","method":"\u0000"})",
         invalid(R"("a")", "The request has no method")},
        {R"({"jsonrpc":"2.0","id":null,"method":"ping"})",
         invalid("null", "The id must be a string or a number")},
        {R"({"jsonrpc":"2.0","id":true,"method":"ping"})",
         invalid("null", "The id must be a string or a number")},
        {R"({"jsonrpc":"2.0","id":[1],"method":"ping"})",
         invalid("null", "The id must be a string or a number")},
        {R"({"jsonrpc":"2.0"})",
         invalid("null", "Invalid Request: a notification needs a method name")},
        {R"({"jsonrpc":"1.0","id":"a","method":"ping"})",
         invalid(R"("a")", "Invalid JSON-RPC version")},
        {R"({"id":{"x":1},"method":"ping"})", invalid("null", "Invalid JSON-RPC version")},
        {R"({"jsonrpc":"1.0","method":"n"})", invalid("null", "Invalid JSON-RPC version")},
        {R"({"jsonrpc":2.0,"id":7,"method":"ping"})", badVersion7},
        {R"({"jsonrpc":"2.0 ","id":7,"method":"ping"})", badVersion7},
        {R"({"jsonrpc":"1.0","id":7,"result":1})", badVersion7},
        // Whole lines that aren't objects or arrays, and lines that aren't JSON.
        {R"("ping")", notObject},
        {"42", notObject},
        {"null", notObject},
        {"{\"a\":1}  \t", invalid("null", "Invalid JSON-RPC version")},
        {R"({"a":1} x)", parseError},
        {"   ", parseError},
        {R"({"a":1} // comment)", parseError},
        {R"({"a":1,})", parseError},
    };
    for (const auto& c : cases) {
        RecordingResponder responder;
        EXPECT_EQ(screen(c.line, responder), c.expected) << c.line;
    }
}

TEST(Screening, AnswersABatchInOneLine) {
    const std::string notObject = invalid("null", "Invalid Request: a batch item is not an object");
    const struct {
        std::string line;
        std::string expected;
    } cases[] = {
        {"[]", invalid("null", "Invalid Request: the batch is empty")},
        {R"([1,{"jsonrpc":"2.0","method":"n"}])", "[" + notObject + "]"},
        {"[[]]", "[" + notObject + "]"},
        {R"([{"jsonrpc":"2.0","method":"n"}])", ""},
        {R"([{"jsonrpc":"2.0","id":1,"method":"ping"},{"jsonrpc":"2.0","method":"n"},)"
         R"({"jsonrpc":"2.0","id":2,"method":"tools/list"}])",
         "[R(1,ping),R(2,tools/list)]"},
        {R"([{"jsonrpc":"2.0","id":1,"method":"initialize"},null])",
         "[R(1,initialize)," + notObject + "]"},
    };
    for (const auto& c : cases) {
        RecordingResponder responder;
        EXPECT_EQ(screen(c.line, responder), c.expected) << c.line;
    }
}

TEST(Screening, CallsTheResponderOncePerRequestInOrder) {
    RecordingResponder responder;
    screen(R"([{"jsonrpc":"2.0","id":2,"method":"b"},{"jsonrpc":"2.0","id":1,"method":"a"},)"
           R"({"jsonrpc":"2.0","method":"n"},{"jsonrpc":"2.0","id":3}])",
           responder);
    EXPECT_EQ(responder.calls, (std::vector<std::string>{"2 b", "1 a"}));
}

TEST(MethodOf, ReadsOnlyStringMethodsOfObjects) {
    const struct {
        const char* json;
        const char* method;
    } cases[] = {
        {R"({"method":"tools/call"})", "tools/call"},
        {R"({"method":"a\u0000b"})", "a"},
        {R"({"method":1})", ""},
        {R"({"method":"first","method":"second"})", "first"},
        {R"(["tools/call"])", ""},
        {R"({})", ""},
    };
    for (const auto& c : cases) {
        rapidjson::Document document;
        jsonrpc::parseJson(document, c.json);
        EXPECT_EQ(jsonrpc::methodOf(document), c.method) << c.json;
    }
}

}  // namespace
