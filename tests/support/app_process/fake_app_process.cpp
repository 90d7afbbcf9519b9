// Test support: the fake app in a process of its own, so that a test can kill it like a crashing
// app. Usage: fake_app_process DISCOVERY_FILE TOKEN [--hold METHOD]...
// It publishes the discovery file with its own process id, prints "port N" once it listens, then
// "request METHOD ID" for every request it receives, and runs until its standard input ends.
// Requests for a held method are answered only when the process ends, that is never when killed.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "fake_app.h"

using namespace testing_support;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DISCOVERY_FILE TOKEN [--hold METHOD]...\n", argv[0]);
        return 2;
    }
    FakeApp app(argv[1], argv[2], static_cast<std::int64_t>(::getpid()));
    const auto never = std::make_shared<Gate>();
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--hold") app.hold(argv[i + 1], never, -1);
    }
    std::printf("port %d\n", app.port());
    std::fflush(stdout);

    std::atomic<bool> inputOpen = true;
    std::thread input([&inputOpen] {
        char buffer[256];
        while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
        }
        inputOpen = false;
    });
    input.detach();
    std::size_t reported = 0;
    while (inputOpen) {
        const std::vector<RecordedRequest> requests = app.requests();
        for (; reported < requests.size(); ++reported) {
            std::printf("request %s %s\n", requests[reported].rpcMethod.c_str(),
                        requests[reported].idText.c_str());
        }
        std::fflush(stdout);
        std::this_thread::sleep_for(5ms);
    }
    ::_exit(0);
}
