// Test support for fault injection: the fake app as a process that can be killed, a listener that
// accepts connections and never answers, the accounting of replies per request id, the figures of
// a running process from /proc, and the run-wide tally of requests, faults and lost replies.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge_process.h"

namespace testing_support {

// Sanitizer builds run the same scenarios; a few sizes shrink where a sanitizer's cost per memory
// access would turn seconds into minutes.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizerBuild = true;
#else
constexpr bool kThreadSanitizerBuild = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizerBuild = true;
#else
constexpr bool kAddressSanitizerBuild = false;
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif

// Requests sent, faults injected and replies lost over the whole test run, printed at its end.
struct FaultTally {
    static void requests(std::size_t count);
    static void faults(std::size_t count);
    static void lost(std::size_t count);
};

// Counts the replies per id in the host's output. Every line must be one JSON text; a reply is an
// object with "result" or "error", alone or inside a batch array.
class ReplyAudit {
  public:
    ReplyAudit() = default;
    explicit ReplyAudit(const std::vector<std::string>& lines);
    void add(const std::string& line);
    std::size_t repliesTo(const std::string& idText) const;
    // Ids in `idTexts` without a reply, and with more than one.
    std::size_t missing(const std::vector<std::string>& idTexts) const;
    std::size_t duplicated(const std::vector<std::string>& idTexts) const;
    const std::vector<std::string>& invalidLines() const { return invalid; }

  private:
    std::map<std::string, std::size_t> counts;
    std::vector<std::string> invalid;
};

// The fake app in a process of its own (fake_app_process): published in `discoveryFile` with the
// token and its real process id, holding every request for the named methods unanswered.
class AppProcess {
  public:
    AppProcess(const std::filesystem::path& executable, const std::filesystem::path& discoveryFile,
               const std::string& token, const std::vector<std::string>& heldMethods = {});
    int port() const { return listenPort; }
    int pid() const { return child->pid(); }
    // Waits until the app has received a request with this method and id text.
    bool waitForRequest(const std::string& rpcMethod, const std::string& idText,
                        std::chrono::milliseconds timeout = 10s);
    // SIGKILL, then waits for the process to be gone; its discovery file stays behind.
    void kill();

  private:
    std::unique_ptr<ChildProcess> child;
    std::vector<std::string> seen;
    int listenPort = 0;
};

// Accepts connections on 127.0.0.1 and reads whatever comes, but never answers and never closes
// a connection until it is destroyed.
class SilentListener {
  public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int port() const { return listenPort; }
    std::size_t accepted() const { return acceptedCount.load(); }

  private:
    int listenFd = -1;
    int listenPort = 0;
    std::atomic<bool> stopping = false;
    std::atomic<std::size_t> acceptedCount = 0;
    std::thread thread;
};

// Writes to the child's standard input, failing (and killing the child, which ends the write)
// when the child has not taken all of it within `timeout`: a bridge that stops reading its input
// must not hang the test.
bool writeWithin(ChildProcess& child, const std::string& bytes, std::chrono::milliseconds timeout);

// A figure of /proc/<pid>/status ("VmHWM" and "VmRSS" in kB, "Threads"); nothing once the process
// has gone.
std::optional<long> procStatus(int pid, const std::string& key);

// Samples a process's thread count and resident memory every few milliseconds until stopped.
class ProcessSampler {
  public:
    explicit ProcessSampler(int pid);
    ~ProcessSampler();
    ProcessSampler(const ProcessSampler&) = delete;
    ProcessSampler& operator=(const ProcessSampler&) = delete;
    long peakThreads() const { return threads.load(); }

  private:
    std::atomic<bool> stopping = false;
    std::atomic<long> threads = 0;
    std::thread thread;
};

}  // namespace testing_support
