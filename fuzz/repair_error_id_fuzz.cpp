// The id repair of an app's error reply. Input: the reply line, then after the first line feed the
// id text of the host's request (7 when there is none). Property: the result is the line byte for
// byte, unless the line is an object with "error" whose first "id" is null and the id text is
// JSON; then it is that object written compactly with the id text put in as it is, and one JSON
// text.
#include <optional>

#include "fuzz_support.h"
#include "jsonrpc/replies.h"

namespace {

using fuzzing::fail;

constexpr char kMarker[] = "\x01id text\x01";

// The expected repair; an empty text when the line needs repair but its expected text can't be
// told here (RapidJSON's own writer would write a surrogate as raw bytes, the bridge as an escape).
std::optional<std::string> expectedRepair(const std::string& line, const std::string& idText) {
    rapidjson::Document reply;
    jsonrpc::parseJson(reply, line);
    if (reply.HasParseError() || !reply.IsObject() || !reply.HasMember("error")) return {};
    const auto id = reply.FindMember("id");
    if (id == reply.MemberEnd() || !id->value.IsNull()) return {};
    if (idText.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos) return {};
    rapidjson::Document hostId;
    jsonrpc::parseJson(hostId, idText);
    if (hostId.HasParseError()) return {};
    const std::string marker = jsonrpc::quoteJsonString(kMarker);
    if (jsonrpc::tolerableJson(line.c_str()) != fuzzing::beforeNul(line) ||
        fuzzing::holdsSurrogateForm(fuzzing::beforeNul(line)) ||
        line.find(kMarker) != std::string::npos) {
        return std::string();
    }
    id->value.SetString(kMarker, reply.GetAllocator());
    std::string expected = fuzzing::compactText(reply);
    // The marker may stand in the line already, written with escapes.
    if (fuzzing::holdsSurrogateForm(expected) || expected.find(marker) != expected.rfind(marker)) {
        return std::string();
    }
    expected.replace(expected.find(marker), marker.size(), idText);
    return expected;
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
    if (!expected->empty() && repaired != *expected) {
        fail("the repaired line is not the line with the id put in", line);
    }
    if (repaired.find(idText) == std::string::npos) fail("the id text is not in the line", line);
    if (!fuzzing::isOneJsonLine(repaired)) fail("the repaired line is not one JSON text", repaired);
    return 0;
}
