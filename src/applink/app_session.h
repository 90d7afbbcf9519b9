// One session with the app: a plain record, copied for every exchange.
#pragma once

#include <cstdint>
#include <string>

struct AppSession {
    std::string host;
    std::int32_t port = 0;
    std::string path;
    std::string authToken;
    std::string sessionId;  // empty when the app sent none
    std::int64_t pid = 0;
    std::int32_t generation = 0;  // which opening produced it; 0 for a record not yet opened
    // The "protocolVersion" of the app's initialize result, sent with every later request; empty
    // until initialize was answered.
    std::string protocolVersion;
};
