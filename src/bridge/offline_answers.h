// The bridge's answers in the app's place while the app is unavailable.
#pragma once

#include <string>

// The whole reply line for one request: ping succeeds, tools/list gives the recorded tools, the
// resource lists are empty, tools/call gives an error result with the offline message, and every
// other method gets error -32000 with it. `offlineText` is the message as a quoted JSON string.
std::string composeOfflineAnswer(const std::string& idText, const std::string& method,
                                 const std::string& offlineText, const std::string& toolsJson);
