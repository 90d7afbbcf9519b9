#include "jsonrpc/id_text.h"

#include <gtest/gtest.h>

#include "jsonrpc/json.h"

namespace {

TEST(MemberText, FindsTheFirstMemberAsWritten) {
    const struct {
        std::string object;
        const char* name;
        std::optional<std::string_view> expected;
    } cases[] = {
        {R"({"id":1E2})", "id", "1E2"},
        {" {\t\"a\" : [1,{\"id\":2},\"]\"] ,\r\n\"id\"\n:\n -0 } ", "id", "-0"},
        {R"({"a":"\"id\":3","id":"x\"y"})", "id", R"("x\"y")"},
        {R"({"\u0069\u0064":{"k":[]},"id":5})", "id", R"({"k":[]})"},
        {R"({"id":1,"id":2})", "id", "1"},
        {R"({"idx":1,"i":2})", "id", std::nullopt},
        {R"({})", "id", std::nullopt},
        {R"([{"id":1}])", "id", std::nullopt},
        {std::string("{\"a\":1}\0{\"id\":1}", 15), "id", std::nullopt},
        {R"({"id":)", "id", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(jsonrpc::memberText(c.object, c.name), c.expected) << c.object;
}

TEST(ElementTexts, SplitsAnArrayAsWritten) {
    using Texts = std::vector<std::string_view>;
    EXPECT_EQ(jsonrpc::elementTexts(R"( [ 1E2 , {"a":[",",]}, "]" ,[[]]] )"),
              (Texts{"1E2", R"({"a":[",",]})", R"("]")", "[[]]"}));
    EXPECT_EQ(jsonrpc::elementTexts("[]"), Texts{});
    EXPECT_EQ(jsonrpc::elementTexts(R"({"a":1})"), Texts{});
}

TEST(IdTextOf, GivesTheIdAsWrittenOrNull) {
    const struct {
        const char* line;
        const char* expected;
    } cases[] = {
        {R"({"jsonrpc":"2.0","id":12345678901234567890123,"method":"ping"})",
         "12345678901234567890123"},
        {R"({"id":18446744073709551616})", "18446744073709551616"},
        {R"({"id":"\ud800\/"})", R"("\ud800\/")"},
        {R"({"id":1e400})", "1e400"},
        {R"({"id":null})", "null"},
        {R"({"method":"x"})", "null"},
        {R"([{"id":1}])", "null"},
    };
    for (const auto& c : cases) {
        rapidjson::Document document;
        jsonrpc::parseJson(document, c.line);
        ASSERT_FALSE(document.HasParseError()) << c.line;
        EXPECT_EQ(jsonrpc::idTextOf(document, c.line), c.expected) << c.line;
    }
}

}  // namespace
