// The one function of the loadable HTTP module, and where the bridge finds it.
#pragma once

#include "applink/http_backend.h"

// The module's file name; it lies beside the executable.
constexpr char kHttpModuleFile[] = "libmcp-bridge-http.so";
constexpr char kHttpModuleFunction[] = "mcpBridgeHttpExchange";

using HttpModuleExchange = void (*)(const HttpRequest& request, HttpResponse& response);
