// The text of a message's id exactly as the host wrote it. Hosts match replies to requests by
// that text, and a value written anew can differ from it (1E2 becomes 100.0, -0 becomes 0, and a
// number past the double range has no text at all), so ids are copied from the line, never
// rebuilt from the parsed value.
#pragma once

#include <rapidjson/document.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace jsonrpc {

// The text of the first member `name` of the JSON object `objectText`, without the blanks around
// it; nothing when the text is not an object or has no such member. The text must be one that
// parsed; a NUL byte ends it, as it ends a parse.
std::optional<std::string_view> memberText(std::string_view objectText, std::string_view name);

// The text of each element of the JSON array `arrayText`, in order; empty for anything else.
std::vector<std::string_view> elementTexts(std::string_view arrayText);

// The id text of `message`, parsed from `messageText`: the "id" member's text as written, or null
// when `message` is not an object or has no "id".
std::string idTextOf(const rapidjson::Value& message, std::string_view messageText);

}  // namespace jsonrpc
