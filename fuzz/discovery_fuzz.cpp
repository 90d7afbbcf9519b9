// The discovery file's text. Properties: a reading that yields an endpoint names 127.0.0.1 or
// localhost, a port from 1 to 65535 and a path that starts with '/', and together they spell the
// file's "url" exactly; the token is the file's "authToken" byte for byte.
#include "config/discovery.h"
#include "fuzz_support.h"
#include "jsonrpc/json.h"

namespace {

using fuzzing::fail;

std::string member(const rapidjson::Document& document, const char* name) {
    const rapidjson::Value& value = document.FindMember(name)->value;
    return std::string(value.GetString(), value.GetStringLength());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzzing::bytes(data, size);
    const std::optional<DiscoveryInfo> info = parseDiscovery(text);
    if (!info) return 0;

    // With the bridge's parse: valid JSON that RapidJSON refuses (a lone surrogate escape, a number
    // past the double range) still makes a discovery file.
    rapidjson::Document document;
    jsonrpc::parseJson(document, text);
    if (document.HasParseError() || !document.IsObject()) fail("accepted a non-object", text);
    if (info->host != "127.0.0.1" && info->host != "localhost") fail("a host off loopback", text);
    if (info->port < 1 || info->port > 65535) fail("a port out of range", text);
    if (info->path.empty() || info->path[0] != '/') fail("a path without '/'", text);

    const std::string url = member(document, "url");
    const std::size_t portStart = 7 + info->host.size() + 1;
    const std::size_t pathStart = url.find('/', 7);
    if (pathStart == std::string::npos || pathStart < portStart) fail("no port text", text);
    const std::string portText = url.substr(portStart, pathStart - portStart);
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(portText) != info->port) {
        fail("the port does not match the url", text);
    }
    if ("http://" + info->host + ":" + portText + info->path != url) {
        fail("the endpoint does not spell the url", text);
    }
    if (info->authToken != member(document, "authToken")) fail("the token changed", text);

    const auto pid = document.FindMember("pid");
    const std::int64_t expectedPid =
        pid != document.MemberEnd() && pid->value.IsInt64() ? pid->value.GetInt64() : 0;
    if (info->pid != expectedPid) fail("the pid does not match", text);
    return 0;
}
