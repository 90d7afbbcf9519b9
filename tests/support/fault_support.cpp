#include "fault_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

namespace {

struct Totals {
    std::atomic<std::size_t> requests = 0;
    std::atomic<std::size_t> faults = 0;
    std::atomic<std::size_t> lost = 0;
};

Totals& totals() {
    static Totals instance;
    return instance;
}

// Prints the tally once the last test has run, when any fault test took part.
class TallyReport : public ::testing::Environment {
  public:
    void TearDown() override {
        const Totals& t = totals();
        if (t.requests == 0) return;
        std::printf("[ FAULTS   ] %zu requests sent, %zu faults injected, %zu replies lost\n",
                    t.requests.load(), t.faults.load(), t.lost.load());
    }
};

// Registered before main, so that the report comes after the last test of the run.
[[maybe_unused]] const bool reportRegistered = [] {
    ::testing::AddGlobalTestEnvironment(new TallyReport);
    return true;
}();

std::string compactId(const rapidjson::Value& id) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    id.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

void FaultTally::requests(std::size_t count) {
    totals().requests += count;
}
void FaultTally::faults(std::size_t count) {
    totals().faults += count;
}
void FaultTally::lost(std::size_t count) {
    totals().lost += count;
}

ReplyAudit::ReplyAudit(const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        add(line);
}

void ReplyAudit::add(const std::string& line) {
    rapidjson::Document document;
    document.Parse(line.data(), line.size());
    if (document.HasParseError() ||
        line.find_first_of(std::string("\r\0", 2)) != std::string::npos) {
        invalid.push_back(line);
        return;
    }
    const auto count = [this](const rapidjson::Value& value) {
        if (!value.IsObject() || !(value.HasMember("result") || value.HasMember("error"))) return;
        const auto id = value.FindMember("id");
        if (id != value.MemberEnd()) ++counts[compactId(id->value)];
    };
    if (document.IsArray()) {
        for (const auto& element : document.GetArray())
            count(element);
    } else {
        count(document);
    }
}

std::size_t ReplyAudit::repliesTo(const std::string& idText) const {
    const auto found = counts.find(idText);
    return found == counts.end() ? 0 : found->second;
}

std::size_t ReplyAudit::missing(const std::vector<std::string>& idTexts) const {
    std::size_t none = 0;
    for (const std::string& id : idTexts)
        none += repliesTo(id) == 0 ? 1 : 0;
    return none;
}

std::size_t ReplyAudit::duplicated(const std::vector<std::string>& idTexts) const {
    std::size_t many = 0;
    for (const std::string& id : idTexts)
        many += repliesTo(id) > 1 ? 1 : 0;
    return many;
}

AppProcess::AppProcess(const std::filesystem::path& executable,
                       const std::filesystem::path& discoveryFile, const std::string& token,
                       const std::vector<std::string>& heldMethods) {
    std::vector<std::string> command = {executable.string(), discoveryFile.string(), token};
    for (const std::string& method : heldMethods) {
        command.push_back("--hold");
        command.push_back(method);
    }
    child = std::make_unique<ChildProcess>(command, discoveryFile.parent_path());
    const std::optional<std::string> first = child->readLine(10s);
    if (!first || first->rfind("port ", 0) != 0) {
        throw std::runtime_error("the app process did not start: " + first.value_or("(nothing)"));
    }
    listenPort = std::stoi(first->substr(5));
}

bool AppProcess::waitForRequest(const std::string& rpcMethod, const std::string& idText,
                                std::chrono::milliseconds timeout) {
    const std::string wanted = "request " + rpcMethod + " " + idText;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (const std::string& line : seen) {
            if (line == wanted) return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        const std::optional<std::string> line = child->readLine(left);
        if (!line) return false;
        seen.push_back(*line);
    }
}

void AppProcess::kill() {
    ::kill(child->pid(), SIGKILL);
    child->wait(10s);
}

SilentListener::SilentListener() {
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd, 128) != 0 ||
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listenFd);
        throw std::runtime_error("the silent listener cannot listen on 127.0.0.1");
    }
    listenPort = ntohs(address.sin_port);
    thread = std::thread([this] {
        std::vector<pollfd> fds = {{listenFd, POLLIN, 0}};
        while (!stopping) {
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            for (std::size_t i = fds.size(); i-- > 0;) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                if (i == 0) {
                    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd >= 0) {
                        fds.push_back({fd, POLLIN, 0});
                        ++acceptedCount;
                    }
                    continue;
                }
                char buffer[65536];
                if (::read(fds[i].fd, buffer, sizeof buffer) <= 0) {
                    ::close(fds[i].fd);
                    fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
        }
        for (std::size_t i = 1; i < fds.size(); ++i)
            ::close(fds[i].fd);
    });
}

SilentListener::~SilentListener() {
    stopping = true;
    thread.join();
    ::close(listenFd);
}

bool writeWithin(ChildProcess& child, const std::string& bytes, std::chrono::milliseconds timeout) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool written = false;
    std::thread writer([&] {
        const bool ok = child.write(bytes);
        const std::lock_guard<std::mutex> lock(mutex);
        written = ok;
        finished = true;
        done.notify_all();
    });
    bool inTime = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        inTime = done.wait_for(lock, timeout, [&] { return finished; });
    }
    if (!inTime) ::kill(child.pid(), SIGKILL);
    writer.join();
    return inTime && written;
}

std::optional<long> procStatus(int pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) != 0) continue;
        std::istringstream value(line.substr(key.size() + 1));
        long number = 0;
        if (value >> number) return number;
    }
    return std::nullopt;
}

ProcessSampler::ProcessSampler(int pid) {
    thread = std::thread([this, pid] {
        while (!stopping) {
            if (const std::optional<long> now = procStatus(pid, "Threads")) {
                if (*now > threads) threads = *now;
            }
            std::this_thread::sleep_for(2ms);
        }
    });
}

ProcessSampler::~ProcessSampler() {
    stopping = true;
    thread.join();
}

}  // namespace testing_support
