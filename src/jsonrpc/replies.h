// The reply lines that the bridge composes itself. Lines are built by concatenating JSON texts
// with fixed pieces; only toJsonText and repairErrorId work on documents.
#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace jsonrpc {

// Answers one request that expects a reply: takes its id text and its method, returns the whole
// reply line (one JSON text, no line end).
using Responder = std::function<std::string(const std::string& idText, const std::string& method)>;

// {"jsonrpc":"2.0","id":<idText>,"error":{"code":<code>,"message":"<message>"}}. The message is
// placed as it is, so it must be printable ASCII without quotation marks or backslashes.
std::string errorReply(std::string_view idText, std::int32_t code, std::string_view message);

// The compact JSON text of a value: no blanks, members in stored order, strings re-escaped.
std::string toJsonText(const rapidjson::Value& value);

// The compact JSON text of a string value holding `text`, escaped as toJsonText escapes.
std::string quoteJsonString(std::string_view text);

// -32603 "The app sent no JSON-RPC reply", for every method.
std::string noReplyResponder(const std::string& idText, const std::string& method);

// -32603 carrying `message`, for every method. The text must outlive the responder.
Responder rejectionResponder(const std::string& message);

// An app error reply whose id is null, written anew with the host's id text put in as it is; every
// other line comes back byte for byte.
std::string repairErrorId(const std::string& line, const std::string& idText);

// The same for a line already parsed into `reply`, which may be changed.
std::string repairErrorId(rapidjson::Document& reply, const std::string& line,
                          const std::string& idText);

}  // namespace jsonrpc
