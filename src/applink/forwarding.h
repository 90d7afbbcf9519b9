// Forwarding one host message inside the open session, and the failures that can come of it.
#pragma once

#include <stdexcept>
#include <string>

// The app refused a request with an HTTP error status and no JSON-RPC message in the body.
class RejectedError : public std::runtime_error {
  public:
    explicit RejectedError(int status)
        : std::runtime_error("The app rejected the request (HTTP " + std::to_string(status) + ")") {
    }
};
