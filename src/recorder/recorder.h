// The snapshot recorder: opens a session with the running app as the bridge does, lists its tools
// page by page, and writes them with its initialize result as a snapshot, or compares them with a
// recorded one.
#pragma once

#include <string>
#include <vector>

#include "applink/http_client.h"

// Runs the command line (the arguments after the program name) and returns the exit code. The
// snapshot or the diff goes to standard output, failures to standard error as one line each.
int runRecorder(const std::vector<std::string>& arguments, HttpClient& client,
                const std::string& localAppData);
