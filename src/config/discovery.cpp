#include "config/discovery.h"

#include <thread>

#include "jsonrpc/json.h"
#include "platform/platform.h"

namespace {

constexpr std::string_view kScheme = "http://";

bool isDigits(std::string_view text) {
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool isJsonObject(const rapidjson::Document& document) {
    return !document.HasParseError() && document.IsObject();
}

std::optional<DiscoveryInfo> discoveryFrom(const rapidjson::Document& document) {
    if (!isJsonObject(document)) return std::nullopt;
    const auto url = document.FindMember("url");
    const auto token = document.FindMember("authToken");
    if (url == document.MemberEnd() || !url->value.IsString()) return std::nullopt;
    if (token == document.MemberEnd() || !token->value.IsString()) return std::nullopt;

    const std::string_view address(url->value.GetString(), url->value.GetStringLength());
    if (address.substr(0, kScheme.size()) != kScheme) return std::nullopt;
    const std::size_t colon = address.find(':', kScheme.size());
    const std::size_t slash = address.find('/', kScheme.size());
    if (colon == std::string_view::npos || slash == std::string_view::npos || colon > slash) {
        return std::nullopt;
    }
    DiscoveryInfo info;
    info.host = address.substr(kScheme.size(), colon - kScheme.size());
    if (info.host != "127.0.0.1" && info.host != "localhost") return std::nullopt;
    const std::string_view portText = address.substr(colon + 1, slash - colon - 1);
    if (portText.empty() || portText.size() > 5 || !isDigits(portText)) return std::nullopt;
    int port = 0;
    for (const char c : portText)
        port = port * 10 + (c - '0');
    if (port < 1 || port > 65535) return std::nullopt;
    info.port = port;
    info.path = address.substr(slash);
    // The path goes into the request line as it stands: a blank, a control character or a byte
    // beyond ASCII there would break it, or add lines of the file's choosing to the request.
    for (const char c : info.path) {
        if (c <= ' ' || c > '~') return std::nullopt;
    }
    info.authToken.assign(token->value.GetString(), token->value.GetStringLength());
    if (!isHeaderSafeToken(info.authToken)) return std::nullopt;

    const auto pid = document.FindMember("pid");
    if (pid != document.MemberEnd() && pid->value.IsInt64()) info.pid = pid->value.GetInt64();
    return info;
}

}  // namespace

bool isHeaderSafeToken(std::string_view token) {
    for (const char c : token) {
        if (c < ' ' || c > '~') return false;
    }
    return token.empty() || (token.front() != ' ' && token.back() != ' ');
}

std::optional<DiscoveryInfo> parseDiscovery(const std::string& text) {
    rapidjson::Document document;
    jsonrpc::parseJson(document, text);
    return discoveryFrom(document);
}

std::optional<DiscoveryInfo> readDiscoveryFile(const std::string& path, const FileReader& readFile,
                                               std::chrono::milliseconds rereadPause) {
    rapidjson::Document document;
    for (int reading = 1;; ++reading) {
        const std::optional<std::string> content = readFile(path);
        if (!content) return std::nullopt;
        jsonrpc::parseJson(document, *content);
        if (isJsonObject(document) || reading == 2) return discoveryFrom(document);
        std::this_thread::sleep_for(rereadPause);
    }
}

std::optional<std::string> readDiscoveryText(const std::string& path) {
    return platform::readSmallRegularFile(path, kMostDiscoveryBytes);
}
