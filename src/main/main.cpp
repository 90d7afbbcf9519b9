// The process frame: loads the configuration, feeds every input line to the bridge, and at the end
// of input drains, ends the app session and exits within a fixed time.
#include <chrono>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "bridge/mcp_bridge.h"
#include "config/config.h"
#include "main/input_lines.h"
#include "main/line_writer.h"
#include "platform/platform.h"

namespace {

constexpr std::int64_t kDrainLimitMs = 3000;
constexpr auto kCloseWait = std::chrono::seconds(1);
// How long the end of the run waits for a line that another thread is writing (the host may be
// slow to read). The process ends holding the output lock, so no line is ever cut off halfway by
// the exit, nor started after it began.
constexpr auto kLastLineWait = std::chrono::seconds(10);

}  // namespace

int main() {
    platform::prepareStandardStreams();

    BridgeConfig config;
    static std::timed_mutex outputMutex;
    LineWriter writer;
    try {
        const std::string localAppData = localAppDataFolder();
        const std::string configPath = configFilePath();
        config = loadConfig(configPath, localAppData);
        writer = makeStandardOutputWriter(outputMutex);
    } catch (const std::exception& failure) {
        platform::writeStandardError(std::string(failure.what()) + "\n");
        return 1;
    }

    // Never destroyed: the process ends by immediate exit while threads may still use it.
    auto* bridge = new McpBridge(std::move(config), std::move(writer));

    InputLines input(platform::readStandardInput);
    std::string line;
    while (input.next(line))
        bridge->submit(line);

    bridge->drain(kDrainLimitMs);
    auto closed = std::make_shared<std::promise<int>>();
    std::future<int> done = closed->get_future();
    try {
        std::thread([bridge, closed] {
            bridge->closeSession();
            closed->set_value(1);
        }).detach();
        done.wait_for(kCloseWait);
    } catch (const std::system_error&) {
        // No thread for the closing request: end without it.
    }
    // Not released: the process ends now. Past the wait, a host that reads nothing gets nothing.
    (void)outputMutex.try_lock_for(kLastLineWait);
    platform::exitImmediately(0);
}
