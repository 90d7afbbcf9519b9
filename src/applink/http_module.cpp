// The cpp-httplib backend packed as a module that the bridge loads on its first exchange: the
// library brings OpenSSL and compression libraries along, whose loading would otherwise cost every
// start-up several milliseconds and megabytes, also when the app is not running.
#include "applink/http_module.h"
#include "applink/http_backend.h"

extern "C" __attribute__((visibility("default"))) void mcpBridgeHttpExchange(
    const HttpRequest& request, HttpResponse& response) {
    response = performHttpRequest(request);
}
