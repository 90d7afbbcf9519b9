// The snapshot file: what the app answers to initialize and which tools it offers, recorded so
// that the bridge can stand in for the app while it is away.
#pragma once

#include <string>

#include "config/file_reader.h"

struct Snapshot {
    std::string initializeJson;  // compact text of the recorded initialize result (an object)
    std::string toolsJson;       // compact text of the recorded tool list (an array)
};

// Loads the snapshot named by the configuration's "snapshotFile" value, a relative value being
// taken in the configuration file's folder. Throws std::runtime_error with a message for the user.
Snapshot loadSnapshot(const std::string& configPath, const std::string& value,
                      const FileReader& readFile);
