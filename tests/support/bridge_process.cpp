#include "bridge_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testing_support {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = base / ("mcp-bridge-test-" + std::to_string(random()));
        if (fs::create_directory(candidate)) {
            root = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

fs::path bridgeExecutable() {
    if (const char* exe = std::getenv("MCP_BRIDGE_TEST_EXE"); exe != nullptr && *exe != '\0') {
        return exe;
    }
    return MCP_BRIDGE_BINARY;
}

std::string bridgeLauncher() {
    const char* launcher = std::getenv("MCP_BRIDGE_TEST_LAUNCHER");
    return launcher == nullptr ? std::string() : std::string(launcher);
}

fs::path installBridge(const fs::path& folder, const std::string& fileName) {
    const fs::path source = bridgeExecutable();
    const fs::path target = folder / (fileName.empty() ? source.filename().string() : fileName);
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    return target;
}

bool bridgeIsWindowsBuild() {
    return bridgeExecutable().extension() == ".exe";
}

std::string bridgeVisiblePath(const fs::path& path) {
    if (!bridgeIsWindowsBuild()) return path.string();
    return "Z:" + path.string();
}

std::vector<std::string> bridgeCommand(const fs::path& bridgePath) {
    std::vector<std::string> command;
    std::istringstream launcher(bridgeLauncher());
    for (std::string word; launcher >> word;)
        command.push_back(word);
    command.push_back(bridgePath.string());
    return command;
}

namespace {

void ignoreSigpipeOnce() {
    static const bool done = [] {
        ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& command, const fs::path& workingDir,
                           const std::map<std::string, std::string>& environment) {
    ignoreSigpipeOnce();
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::map<std::string, std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const std::size_t equals = text.find('=');
        if (equals != std::string::npos) env[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : environment) {
        if (value.empty()) {
            env.erase(name);
        } else {
            env[name] = value;
        }
    }
    std::vector<std::string> envText;
    for (const auto& [name, value] : env)
        envText.push_back(name + "=" + value);
    std::vector<char*> envp, argv;
    for (auto& text : envText)
        envp.push_back(text.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = command;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string dir = workingDir.string();

    childPid = ::fork();
    if (childPid < 0) throw std::runtime_error("fork failed");
    if (childPid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::signal(SIGPIPE, SIG_DFL);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdinFd = in[1];
    stdoutFd = out[0];
    stderrFd = err[0];
    stdoutReader = std::thread([this] { collect(stdoutFd, true); });
    stderrReader = std::thread([this] { collect(stderrFd, false); });
}

ChildProcess::~ChildProcess() {
    if (!wait(0ms)) {
        ::kill(childPid, SIGKILL);
        wait(5s);
    }
    closeInput();
    {
        // Both readers stop now: a grandchild (Wine's services, say) may hold the pipes open.
        const std::lock_guard<std::mutex> lock(mutex);
        stdoutClosed = true;
        shuttingDown = true;
    }
    if (stdoutReader.joinable()) stdoutReader.join();
    if (stderrReader.joinable()) stderrReader.join();
}

void ChildProcess::collect(int fd, bool isStdout) {
    char buffer[65536];
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (shuttingDown || (isStdout && stdoutClosed)) break;
            if (isStdout && stdoutPaused) {
                changed.wait_for(lock, 50ms);
                continue;
            }
        }
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, 50);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        const std::lock_guard<std::mutex> lock(mutex);
        if (isStdout) {
            rawStdout.append(buffer, static_cast<std::size_t>(got));
            partialLine.append(buffer, static_cast<std::size_t>(got));
            std::size_t start = 0;
            for (std::size_t end; (end = partialLine.find('\n', start)) != std::string::npos;
                 start = end + 1) {
                lines.push_back(partialLine.substr(start, end - start));
            }
            partialLine.erase(0, start);
        } else {
            rawStderr.append(buffer, static_cast<std::size_t>(got));
        }
        changed.notify_all();
    }
    ::close(fd);
    const std::lock_guard<std::mutex> lock(mutex);
    if (isStdout) {
        stdoutClosed = true;
        stdoutEnded = true;
    } else {
        stderrEnded = true;
    }
    changed.notify_all();
}

bool ChildProcess::write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(stdinFd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void ChildProcess::closeInput() {
    if (stdinFd >= 0) ::close(stdinFd);
    stdinFd = -1;
}

void ChildProcess::closeOutput() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stdoutClosed = true;
    }
    if (stdoutReader.joinable()) stdoutReader.join();
}

void ChildProcess::pauseOutput() {
    const std::lock_guard<std::mutex> lock(mutex);
    stdoutPaused = true;
}

void ChildProcess::resumeOutput() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stdoutPaused = false;
    }
    changed.notify_all();
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, timeout, [this] { return !lines.empty() || stdoutClosed; })) {
        return std::nullopt;
    }
    if (lines.empty()) return std::nullopt;
    std::string line = std::move(lines.front());
    lines.pop_front();
    return line;
}

std::vector<std::string> ChildProcess::readLines(std::size_t count,
                                                 std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> result;
    while (result.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        std::optional<std::string> line = readLine(left);
        if (!line) break;
        result.push_back(std::move(*line));
    }
    return result;
}

std::vector<std::string> ChildProcess::pendingLines() {
    const std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> result(lines.begin(), lines.end());
    lines.clear();
    return result;
}

std::vector<std::string> ChildProcess::stderrLines() {
    const std::lock_guard<std::mutex> lock(mutex);
    return splitLines(rawStderr);
}

std::string ChildProcess::rawOutput() {
    const std::lock_guard<std::mutex> lock(mutex);
    return rawStdout;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (exitCode) return exitCode;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(childPid, &status, WNOHANG);
        if (done == childPid) {
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitCode;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(2ms);
    }
}

bool ChildProcess::running() {
    return !wait(0ms).has_value();
}

bool ChildProcess::waitForOutputEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [this] { return stdoutEnded && stderrEnded; });
}

BridgeRun runBridge(const fs::path& bridgePath, const std::string& input,
                    std::chrono::milliseconds timeout,
                    const std::map<std::string, std::string>& environment) {
    ChildProcess child(bridgeCommand(bridgePath), bridgePath.parent_path(), environment);
    child.write(input);
    child.closeInput();
    BridgeRun run;
    run.exitCode = child.wait(timeout);
    // Output written just before the exit may still be in the pipes.
    child.waitForOutputEnd();
    run.out = child.pendingLines();
    run.err = child.stderrLines();
    return run;
}

}  // namespace testing_support
