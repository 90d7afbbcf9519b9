// The rules for the texts the app sends back: which are JSON-RPC, and how they become one line.
#pragma once

#include <string>

// The text with every CR and LF replaced by a blank.
std::string toSingleLine(std::string text);

// True when the text is one JSON array, or one JSON object with a member "jsonrpc".
bool isJsonRpcText(const std::string& text);
