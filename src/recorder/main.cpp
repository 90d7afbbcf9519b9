// mcp-bridge-snapshot: records the app's snapshot for the bridge, or checks a recorded one.
#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#endif

#include <string>
#include <vector>

#include "applink/http_client.h"
#include "config/config.h"
#include "platform/platform.h"
#include "recorder/recorder.h"

namespace {

// The arguments after the program name, as UTF-8: on Windows from the wide command line, since
// the narrow one holds only what the ANSI code page can spell.
std::vector<std::string> argumentsOf(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return arguments;
    for (int i = 1; i < count; ++i) {
        const int size =
            ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(size > 0 ? static_cast<std::size_t>(size) : 1u, '\0');
        if (size > 0) {
            ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), size, nullptr, nullptr);
        }
        text.resize(text.size() - 1);  // the terminating NUL
        arguments.push_back(std::move(text));
    }
    ::LocalFree(wide);
    return arguments;
#else
    return std::vector<std::string>(argv + 1, argv + argc);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    platform::prepareStandardStreams();
    return runRecorder(argumentsOf(argc, argv), systemHttpClient(), localAppDataFolder());
}
