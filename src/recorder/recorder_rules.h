// The snapshot recorder's pure rules: its command line, which discovery file a source names, the
// pages of the app's tool list, the snapshot's text, and how two tool lists differ.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// The recorder's exit codes: a CI tells a stale snapshot from one it could not check.
constexpr int kExitSame = 0;
constexpr int kExitDifferent = 1;
constexpr int kExitCouldNotRun = 2;

extern const char kRecorderHelp[];

// A command line the recorder can't run; its text is the one line to show.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct RecorderCommand {
    enum class Mode { Record, Check, Help };
    Mode mode = Mode::Record;
    std::string output;    // Record: the file to write, empty for standard output
    std::string snapshot;  // Check: the snapshot to compare with
    std::string source;    // the app's discovery file, or a bridge configuration naming one
};

// The arguments after the program name. Throws UsageError.
RecorderCommand parseRecorderArguments(const std::vector<std::string>& arguments);

// The discovery file that a source names. A bridge configuration is told apart by its
// "discoveryFile" member, taken as the bridge takes it (a relative path under `localAppData`);
// any other text is the discovery file itself. Throws std::runtime_error for a configuration
// whose "discoveryFile" is not a non-empty string.
std::string discoveryPathFor(const std::string& sourcePath, const std::string& sourceText,
                             const std::string& localAppData);

// The body of the tools/list request for one page; no cursor for the first.
std::string toolListRequest(int id, const std::optional<std::string>& cursor);

struct ToolPage {
    std::vector<std::string> tools;         // the compact text of each tool
    std::optional<std::string> nextCursor;  // nothing on the last page
};

// The page in the JSON-RPC texts of a tools/list reply. Throws std::runtime_error naming what
// is wrong: an error reply, or no result with a "tools" array.
ToolPage readToolPage(const std::vector<std::string>& messages);

// The compact JSON array of the tools.
std::string toolArrayText(const std::vector<std::string>& tools);

// The snapshot file's text: the initialize result and the tool list, indented, ending in a line
// feed. Both arguments are compact JSON texts.
std::string snapshotText(const std::string& initializeJson, const std::string& toolsJson);

// How the app's tools differ from the recorded ones, by name. Equal lists differ in nothing;
// lists holding the same tools in another order differ only in `reordered`, since the bridge
// tells the host of that change too.
struct ToolDiff {
    std::vector<std::string> added;    // offered by the app, not recorded
    std::vector<std::string> removed;  // recorded, no longer offered
    std::vector<std::string> changed;  // in both, described differently
    bool reordered = false;
    bool empty() const { return added.empty() && removed.empty() && changed.empty() && !reordered; }
};
ToolDiff diffTools(const std::string& recordedToolsJson, const std::string& currentToolsJson);

// One line per difference: "+ name", "- name", "~ name", in that order.
std::string describeDiff(const ToolDiff& diff);
