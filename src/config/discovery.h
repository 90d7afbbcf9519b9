// The discovery file, in which the app publishes its endpoint, bearer token and process id. It is
// read afresh on every use; anything wrong with it simply means that no app is available.
#pragma once

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

// Parses the text of a discovery file; nothing for any problem.
std::optional<DiscoveryInfo> parseDiscovery(const std::string& text);

// Reads and parses the discovery file at `path`; nothing for any problem.
std::optional<DiscoveryInfo> readDiscoveryFile(const std::string& path, const FileReader& readFile);
