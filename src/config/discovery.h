// The discovery file, in which the app publishes its endpoint, bearer token and process id. It is
// read afresh on every use; anything wrong with it simply means that no app is available.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/file_reader.h"

struct DiscoveryInfo {
    std::string host;  // "127.0.0.1" or "localhost"
    std::int32_t port = 0;
    std::string path;  // from the first '/' after the port, at least "/"
    std::string authToken;
    std::int64_t pid = 0;  // 0 when absent or not a 64-bit integer

    // Two readings name the same app instance exactly when all fields are equal.
    bool operator==(const DiscoveryInfo&) const = default;
};

// A discovery file holds a URL, a token and a pid; anything larger is not one.
constexpr std::size_t kMostDiscoveryBytes = 64 * 1024;

// Whether a token can stand in an HTTP header value as it is: visible ASCII, with blanks only
// between other characters. Anything else (CR or LF above all) would change the request.
bool isHeaderSafeToken(std::string_view token);

// Parses the text of a discovery file; nothing for any problem.
std::optional<DiscoveryInfo> parseDiscovery(const std::string& text);

// Reads and parses the discovery file at `path`; nothing for any problem. A file that is there but
// isn't a JSON object may be caught half-written while the app rewrites it, so it is read once
// more after `rereadPause` before it counts as no app.
std::optional<DiscoveryInfo> readDiscoveryFile(
    const std::string& path, const FileReader& readFile,
    std::chrono::milliseconds rereadPause = std::chrono::milliseconds(5));

// The file at `path` as the bridge reads a discovery file: a regular file of at most
// kMostDiscoveryBytes, read without waiting; nothing for anything else.
std::optional<std::string> readDiscoveryText(const std::string& path);
