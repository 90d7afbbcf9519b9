// The id repair of an app's error reply. Input: the reply line, then after the first line feed the
// id text of the host's request (7 when there is none). Property: the result is the line byte for
// byte, unless the line is an object with "error" whose first "id" is null and the id text is
// JSON; then it is that object written compactly with the id put in, and one JSON text.
#include <optional>

#include "fuzz_support.h"
#include "jsonrpc/replies.h"

namespace {

using fuzzing::fail;

std::optional<std::string> expectedRepair(const std::string& line, const std::string& idText) {
    rapidjson::Document reply;
    reply.Parse<rapidjson::kParseIterativeFlag>(line.c_str());
    if (reply.HasParseError() || !reply.IsObject() || !reply.HasMember("error")) return {};
    const auto id = reply.FindMember("id");
    if (id == reply.MemberEnd() || !id->value.IsNull()) return {};
    rapidjson::Document hostId;
    hostId.Parse<rapidjson::kParseIterativeFlag>(idText.c_str());
    if (hostId.HasParseError()) return {};
    id->value.CopyFrom(hostId, reply.GetAllocator());
    return fuzzing::compactText(reply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = fuzzing::bytes(data, size);
    const std::size_t split = input.find('\n');
    const std::string line = input.substr(0, split);
    const std::string idText = split == std::string::npos ? "7" : input.substr(split + 1);

    const std::string repaired = jsonrpc::repairErrorId(line, idText);
    const std::optional<std::string> expected = expectedRepair(line, idText);
    if (!expected) {
        if (repaired != line) fail("a line that needs no repair was changed", line);
        return 0;
    }
    if (repaired != *expected) fail("the repaired line is not the line with the id put in", line);
    if (!fuzzing::isOneJsonLine(repaired)) fail("the repaired line is not one JSON text", repaired);
    return 0;
}
