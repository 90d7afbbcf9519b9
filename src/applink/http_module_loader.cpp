// The exchange's backend in the executable when the HTTP client lives in a module: the module is
// loaded on the first exchange, so a run that never reaches the app never loads it.
#include "applink/http_backend.h"
#include "applink/http_module.h"
#include "config/path_rules.h"
#include "platform/platform.h"

namespace {

HttpModuleExchange loadExchange() {
    // By its full path beside the executable: the library search path plays no part, and neither
    // does which object asks (a sanitizer's runtime, for one, makes the call on our behalf).
    const std::string executable = platform::executablePath();
    const std::string module =
        executable.empty()
            ? std::string(kHttpModuleFile)
            : nativepath::resolvePath(nativepath::folderOf(executable), kHttpModuleFile);
    std::string error;
    void* function = platform::loadModuleFunction(module, kHttpModuleFunction, error);
    if (function == nullptr) {
        // The loader's message names the file.
        platform::writeStandardError("Cannot load the HTTP client: " + error + "\n");
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
