// The exchange's backend in the executable when the HTTP client lives in a module: the module is
// loaded on the first exchange, so a run that never reaches the app never loads it.
#include "applink/http_backend.h"
#include "applink/http_module.h"
#include "platform/platform.h"

namespace {

HttpModuleExchange loadExchange() {
    std::string error;
    void* function = platform::loadModuleFunction(kHttpModuleFile, kHttpModuleFunction, error);
    if (function == nullptr) {
        platform::writeStandardError("Cannot load the HTTP client " + std::string(kHttpModuleFile) +
                                     ": " + error + "\n");
    }
    return reinterpret_cast<HttpModuleExchange>(function);
}

}  // namespace

HttpResponse performHttpRequest(const HttpRequest& request) {
    static const HttpModuleExchange exchange = loadExchange();
    HttpResponse response;
    if (exchange == nullptr) {
        // Without a client nothing can reach the app: it counts as not running.
        response.outcome = HttpResponse::Outcome::NoConnection;
        return response;
    }
    exchange(request, response);
    return response;
}
