// The JSON-RPC 2.0 rules by which the bridge judges a host message when it answers in the app's
// place, and the one reply line it then owes the host.
#pragma once

#include <rapidjson/document.h>

#include <string>
#include <string_view>

#include "jsonrpc/replies.h"

namespace jsonrpc {

// The "method" string of an object, up to its first NUL; empty for anything else.
std::string methodOf(const rapidjson::Value& message);

// True when "jsonrpc" is exactly the string "2.0".
bool hasJsonRpcVersion(const rapidjson::Value& message);

// A string or a number: the ids that a request that expects a reply may carry.
inline bool isValidId(const rapidjson::Value& id) {
    return id.IsString() || id.IsNumber();
}

// The reply owed for one object, parsed from `text`; empty when none is due. Echoed ids are taken
// from the text as written.
std::string screenMessage(const rapidjson::Value& message, std::string_view text,
                          const Responder& responder);

// The reply owed for a batch, parsed from `text`; empty when none is due.
std::string screenBatch(const rapidjson::Value& batch, std::string_view text,
                        const Responder& responder);

// The reply owed for a whole line parsed into `document` (parse error, batch, object or other
// root); empty when none is due.
std::string screenDocument(const rapidjson::Document& document, std::string_view line,
                           const Responder& responder);

}  // namespace jsonrpc
