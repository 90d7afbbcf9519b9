// Test support: a folder holding a copy of the bridge, its configuration and its snapshot, ready
// to run. Tests change the files before they start the bridge.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "bridge_process.h"

namespace testing_support {

// The snapshot the fixture writes unless a test writes another.
extern const char* const kSnapshotJson;
// Its "tools" array, compact, as the bridge answers tools/list with it.
extern const char* const kSnapshotToolsCompact;
extern const char* const kOfflineMessage;

class BridgeFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    // After a failure, shows the start of what the bridge wrote on standard error.
    void TearDown() override;

    // Writes the configuration file beside the bridge from the given JSON text.
    void writeConfig(const std::string& json);
    // A configuration naming `discoveryFile` (absolute by default: inside the folder), the
    // snapshot "snapshot.json" and the offline message; `extra` is added as further members.
    std::string configJson(const std::string& extra = {}) const;

    // Starts the bridge and keeps it in `bridge`.
    ChildProcess& start(const std::map<std::string, std::string>& environment = {});
    // Runs the bridge over `input` to its end.
    BridgeRun run(const std::string& input, std::chrono::milliseconds timeout = 20s,
                  const std::map<std::string, std::string>& environment = {});

    TempDir dir;
    std::filesystem::path bridgePath;
    std::filesystem::path configPath;
    std::filesystem::path discoveryPath;
    std::unique_ptr<ChildProcess> bridge;
};

}  // namespace testing_support
