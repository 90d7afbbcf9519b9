// Test support: the real bridge binary, copied into a folder of its own beside its configuration,
// started as a child process and driven over real pipes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

using namespace std::chrono_literals;

// A fresh temporary folder, removed with its contents when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return root; }
    std::filesystem::path operator/(const std::string& name) const { return root / name; }

  private:
    std::filesystem::path root;
};

void writeFile(const std::filesystem::path& path, const std::string& content);

// The bridge binary under test, and the program that runs it (empty for a native binary, "wine"
// for the Windows build). Taken from MCP_BRIDGE_TEST_EXE and MCP_BRIDGE_TEST_LAUNCHER when set.
std::filesystem::path bridgeExecutable();
std::string bridgeLauncher();

// Copies the bridge into `folder` as `fileName` (default: the binary's own name) and returns the
// copy's path. The configuration is then read from beside the copy.
std::filesystem::path installBridge(const std::filesystem::path& folder,
                                    const std::string& fileName = {});

// A running child process with its three standard streams on pipes. Output is collected by
// background readers, so the child never blocks on a full pipe.
class ChildProcess {
  public:
    // Starts `program` with `arguments` in `workingDir`; `environment` entries are added to or
    // replace the inherited ones (an empty value removes the variable).
    ChildProcess(const std::vector<std::string>& command, const std::filesystem::path& workingDir,
                 const std::map<std::string, std::string>& environment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Writes raw bytes to the child's standard input; false when the pipe is closed.
    bool write(const std::string& bytes);
    bool writeLine(const std::string& line) { return write(line + "\n"); }
    void closeInput();
    // Closes our end of the child's standard output, as a host that stops reading would.
    void closeOutput();
    // Stops reading the child's standard output, so that its writes block once the pipe is full,
    // and reads on again from where it stopped.
    void pauseOutput();
    void resumeOutput();

    // The next standard-output line (without its LF), waiting at most `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = 10s);
    // Lines until `count` have arrived or `timeout` has passed.
    std::vector<std::string> readLines(std::size_t count, std::chrono::milliseconds timeout = 10s);
    // Every standard-output line seen so far, and not yet taken by readLine.
    std::vector<std::string> pendingLines();

    // Standard error as collected so far, split into lines.
    std::vector<std::string> stderrLines();
    // Raw standard-output bytes seen so far (all of them, including those already read as lines).
    std::string rawOutput();

    // Waits for the child to end; its exit code, or nothing when it was still running at the
    // deadline (it is then killed).
    std::optional<int> wait(std::chrono::milliseconds timeout = 10s);
    bool running();
    // Waits until the child's standard output and error have both reached their end.
    bool waitForOutputEnd(std::chrono::milliseconds timeout = 5s);
    int pid() const { return childPid; }

  private:
    void collect(int fd, bool isStdout);

    int childPid = -1;
    int stdinFd = -1;
    int stdoutFd = -1;
    int stderrFd = -1;
    std::optional<int> exitCode;
    std::mutex mutex;
    std::condition_variable changed;
    std::string rawStdout;
    std::string partialLine;
    std::deque<std::string> lines;
    std::string rawStderr;
    bool stdoutClosed = false;
    bool stdoutPaused = false;
    bool stdoutEnded = false;
    bool stderrEnded = false;
    bool shuttingDown = false;
    std::thread stdoutReader;
    std::thread stderrReader;
};

// Runs the installed bridge at `bridgePath` (through the launcher), feeds it `input`, closes its
// input and collects everything until it exits.
struct BridgeRun {
    std::vector<std::string> out;
    std::vector<std::string> err;
    std::optional<int> exitCode;
};
BridgeRun runBridge(const std::filesystem::path& bridgePath, const std::string& input,
                    std::chrono::milliseconds timeout = 20s,
                    const std::map<std::string, std::string>& environment = {});

// A path on this machine as the bridge under test names it: unchanged for a native bridge, on
// Wine's drive Z: for the Windows build.
std::string bridgeVisiblePath(const std::filesystem::path& path);

// True when the bridge under test is the Windows build (run through a launcher such as Wine).
bool bridgeIsWindowsBuild();

// The command that starts the bridge copy at `bridgePath` (launcher first, when there is one).
std::vector<std::string> bridgeCommand(const std::filesystem::path& bridgePath);

}  // namespace testing_support
