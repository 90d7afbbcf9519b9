// End-to-end benchmark: the real bridge binary driven over pipes as a host drives it, next to the
// same requests sent straight to the same app, in the same run.
//
//   bridge_bench <bridge binary> <report folder> [sequential calls]
//
// Prints a table and writes bench.json and bench.md (with an SVG plot) into the report folder.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fast_app.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The bridge as a child process, with blocking pipes: the host's view of it.
class Bridge {
  public:
    explicit Bridge(const fs::path& binary) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        started = Clock::now();
        pid = ::fork();
        if (pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            ::signal(SIGPIPE, SIG_DFL);
            ::execl(binary.c_str(), binary.c_str(), nullptr);
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input = in[1];
        output = out[0];
    }
    ~Bridge() {
        closeInput();
        if (pid > 0 && !exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(output);
    }

    void write(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(input, bytes.data() + done, bytes.size() - done);
            if (n <= 0) throw std::runtime_error("write to bridge failed");
            done += static_cast<std::size_t>(n);
        }
    }

    std::string readLine() {
        for (;;) {
            const auto lineFeed = buffer.find('\n', scanned);
            if (lineFeed != std::string::npos) {
                std::string line = buffer.substr(0, lineFeed);
                buffer.erase(0, lineFeed + 1);
                scanned = 0;
                return line;
            }
            scanned = buffer.size();
            char chunk[65536];
            const ssize_t n = ::read(output, chunk, sizeof chunk);
            if (n <= 0) throw std::runtime_error("the bridge ended its output");
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

    void closeInput() {
        if (input >= 0) ::close(input);
        input = -1;
    }

    // Closes the input and waits for the exit; the milliseconds it took.
    double closeAndWait() {
        const auto start = Clock::now();
        closeInput();
        int status = 0;
        ::waitpid(pid, &status, 0);
        exited = true;
        return msSince(start);
    }

    // A field of /proc/<pid>/status of the running bridge ("VmHWM" in kB, "Threads").
    long status(const std::string& field) const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
        }
        return -1;
    }

    Clock::time_point started;

  private:
    pid_t pid = -1;
    int input = -1;
    int output = -1;
    bool exited = false;
    std::string buffer;
    std::size_t scanned = 0;
};

struct Stats {
    double median = 0, p90 = 0, p99 = 0, mean = 0, min = 0, max = 0;
    std::size_t count = 0;
};

Stats statsOf(std::vector<double> samples) {
    Stats s;
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        const auto index = static_cast<std::size_t>(std::ceil(q * samples.size())) - 1;
        return samples[std::min(index, samples.size() - 1)];
    };
    s.count = samples.size();
    s.median = at(0.5);
    s.p90 = at(0.9);
    s.p99 = at(0.99);
    s.min = samples.front();
    s.max = samples.back();
    double sum = 0;
    for (double v : samples)
        sum += v;
    s.mean = sum / samples.size();
    return s;
}

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"bench","version":"1"}}})";
const std::string kInitialized = R"({"jsonrpc":"2.0","method":"notifications/initialized"})";

std::string toolCall(long id) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
           R"(,"method":"tools/call","params":{"name":"echo","arguments":{"text":"hello"}}})";
}

std::string ping(long id) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})";
}

// A host-side client straight to the app, a new connection per request as the bridge makes.
class DirectClient {
  public:
    explicit DirectClient(const FastApp& app) : app(app) {
        const auto result = post(kInitialize);
        sessionId = result.second;
        post(kInitialized);
    }
    std::pair<std::string, std::string> post(const std::string& body) const {
        httplib::Client client("127.0.0.1", app.port());
        client.set_connection_timeout(5, 0);
        client.set_read_timeout(15, 0);
        client.set_tcp_nodelay(true);  // as the bridge does
        httplib::Headers headers{{"Authorization", "Bearer " + app.token()},
                                 {"Accept", "application/json, text/event-stream"}};
        if (!sessionId.empty()) headers.emplace("Mcp-Session-Id", sessionId);
        const auto result = client.Post("/mcp", headers, body, "application/json");
        if (!result) throw std::runtime_error("direct request failed");
        return {result->body, result->get_header_value("Mcp-Session-Id")};
    }

  private:
    const FastApp& app;
    std::string sessionId;
};

struct Config {
    fs::path binary;
    fs::path folder;
};

// A folder with a copy of the bridge, its configuration and the fast app's snapshot.
Config prepareFolder(const fs::path& binary, const fs::path& root) {
    fs::create_directories(root);
    Config config{root / "mcp-bridge", root};
    fs::copy_file(binary, config.binary, fs::copy_options::overwrite_existing);
    std::ofstream(root / "snapshot.json") << R"({"initialize":)" << FastApp::initializeResult()
                                          << R"(,"tools":)" << FastApp::toolsJson() << "}";
    std::ofstream(root / "mcp-bridge.json")
        << R"({"discoveryFile":")" << (root / "discovery.json").string()
        << R"(","offlineMessage":"The app is not running.","snapshotFile":"snapshot.json"})";
    return config;
}

struct ColdStart {
    Stats toInitialize;
    Stats exitAfterClose;
};

ColdStart coldStarts(const Config& config, int runs) {
    std::vector<double> starts, exits;
    for (int i = 0; i < runs; ++i) {
        Bridge bridge(config.binary);
        bridge.write(kInitialize + "\n");
        bridge.readLine();
        starts.push_back(msSince(bridge.started));
        exits.push_back(bridge.closeAndWait());
    }
    return {statsOf(starts), statsOf(exits)};
}

// Writes `count` lines at once and waits for every reply; messages per second.
double burst(Bridge& bridge, int count, const std::function<std::string(long)>& make,
             long& nextId) {
    std::string lines;
    for (int i = 0; i < count; ++i)
        lines += make(nextId++) + "\n";
    const auto start = Clock::now();
    std::thread writer([&] { bridge.write(lines); });
    for (int i = 0; i < count; ++i)
        bridge.readLine();
    const double ms = msSince(start);
    writer.join();
    return count / (ms / 1000.0);
}

// The app's own ceiling: `count` requests from `clients` threads, each on a new connection.
double directCeiling(const DirectClient& direct, int count, int clients,
                     const std::function<std::string(long)>& make) {
    std::atomic<int> next{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            for (int i; (i = next++) < count;)
                direct.post(make(i));
        });
    }
    for (auto& t : threads)
        t.join();
    return count / (msSince(start) / 1000.0);
}

std::string histogramSvg(const std::vector<double>& bridge, const std::vector<double>& direct) {
    std::vector<double> all = bridge;
    all.insert(all.end(), direct.begin(), direct.end());
    std::sort(all.begin(), all.end());
    const double low = all.front();
    const double high = all[static_cast<std::size_t>(all.size() * 0.99)];
    const int bins = 60;
    const double width = (high - low) / bins;
    const auto count = [&](const std::vector<double>& samples) {
        std::vector<int> counts(bins, 0);
        for (double v : samples) {
            if (v > high) continue;
            counts[std::min(bins - 1, static_cast<int>((v - low) / width))]++;
        }
        return counts;
    };
    const auto b = count(bridge), d = count(direct);
    const int peak =
        std::max(*std::max_element(b.begin(), b.end()), *std::max_element(d.begin(), d.end()));
    const int W = 640, H = 260, left = 40, bottom = 30;
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << W << "\" height=\"" << H
        << "\" font-family=\"sans-serif\" font-size=\"11\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    const double barW = double(W - left - 10) / bins;
    const auto bars = [&](const std::vector<int>& counts, const char* colour, double shift) {
        for (int i = 0; i < bins; ++i) {
            const double h = double(H - bottom - 20) * counts[i] / peak;
            svg << "<rect x=\"" << left + i * barW + shift << "\" y=\"" << H - bottom - h
                << "\" width=\"" << barW / 2 << "\" height=\"" << h << "\" fill=\"" << colour
                << "\"/>\n";
        }
    };
    bars(d, "#7aa6d8", 0);
    bars(b, "#e07b39", barW / 2);
    char label[64];
    for (int i = 0; i <= 4; ++i) {
        const double value = low + (high - low) * i / 4;
        std::snprintf(label, sizeof label, "%.3f ms", value);
        svg << "<text x=\"" << left + (W - left - 10) * i / 4 << "\" y=\"" << H - 10
            << "\" text-anchor=\"middle\">" << label << "</text>\n";
    }
    svg << "<text x=\"" << W - 200
        << "\" y=\"20\" fill=\"#e07b39\">&#9632; through the bridge</text>\n"
        << "<text x=\"" << W - 200
        << "\" y=\"36\" fill=\"#7aa6d8\">&#9632; direct to the app</text>\n"
        << "<text x=\"" << left
        << "\" y=\"16\">tools/call round trips, up to the 99th percentile</text>\n"
        << "</svg>\n";
    return svg.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: bridge_bench <bridge binary> <report folder> [calls]\n";
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const fs::path binary = fs::absolute(argv[1]);
    const fs::path reportDir = fs::absolute(argv[2]);
    const int calls = argc > 3 ? std::stoi(argv[3]) : 2000;
    fs::create_directories(reportDir);
    const fs::path work =
        fs::temp_directory_path() / ("mcp-bridge-bench-" + std::to_string(::getpid()));
    const Config config = prepareFolder(binary, work);

    // 1. Cold start, with the app down (no discovery file) and up.
    const ColdStart down = coldStarts(config, 40);
    // The bridge's own footprint: 1,000 pipelined pings answered in the app's place.
    long offlinePeakKb = 0;
    {
        Bridge offline(config.binary);
        long id = 1;
        burst(offline, 1000, ping, id);
        offlinePeakKb = offline.status("VmHWM");
        offline.closeAndWait();
    }

    FastApp app;
    app.start(work / "discovery.json");
    const ColdStart up = coldStarts(config, 40);

    // 2. Sequential tool calls: bridge and direct, interleaved so both see the same machine. From
    // here on the session keeps its standing stream open, as with most apps.
    app.serveStandingStreams(true);
    DirectClient direct(app);
    Bridge bridge(config.binary);
    bridge.write(kInitialize + "\n");
    bridge.readLine();
    bridge.write(kInitialized + "\n");
    long nextId = 1;
    for (int i = 0; i < 50; ++i) {  // warm up both roads
        bridge.write(toolCall(nextId++) + "\n");
        bridge.readLine();
        direct.post(toolCall(i));
    }
    std::vector<double> viaBridge, viaDirect;
    for (int i = 0; i < calls; ++i) {
        auto start = Clock::now();
        bridge.write(toolCall(nextId++) + "\n");
        bridge.readLine();
        viaBridge.push_back(msSince(start));
        start = Clock::now();
        direct.post(toolCall(i));
        viaDirect.push_back(msSince(start));
    }
    // The floor of any stdio server: a line through the pipes of a process that echoes it.
    std::vector<double> viaEcho;
    {
        Bridge echo("/bin/cat");
        for (int i = 0; i < calls; ++i) {
            const auto start = Clock::now();
            echo.write(toolCall(i) + "\n");
            echo.readLine();
            viaEcho.push_back(msSince(start));
        }
        echo.closeAndWait();
    }
    const Stats echoStats = statsOf(viaEcho);

    // Events relayed mid-stream: from the app writing an event to the host reading its line.
    std::vector<double> relayMs;
    for (int round = 0; round < 5; ++round) {
        bridge.write(R"({"jsonrpc":"2.0","id":)" + std::to_string(nextId++) +
                     R"(,"method":"tools/call","params":{"name":"stream","arguments":{}}})" + "\n");
        for (int i = 0; i < FastApp::kStreamEvents; ++i) {
            const std::string line = bridge.readLine();
            const std::int64_t read = FastApp::nowNs();
            const std::size_t at = line.find("\"sentNs\":");
            if (at == std::string::npos) break;
            relayMs.push_back(double(read - std::stoll(line.substr(at + 9))) / 1e6);
        }
        bridge.readLine();  // the result
    }
    const Stats relayStats = statsOf(relayMs);
    // Notifications on the session's standing stream: from the app writing one to the host
    // reading its line.
    std::vector<double> standingMs;
    // MCP_BRIDGE_BENCH_NO_STANDING_STREAM: for a bridge that opens none (an older one).
    const bool standing = std::getenv("MCP_BRIDGE_BENCH_NO_STANDING_STREAM") == nullptr;
    for (int round = 0; standing && round < 5; ++round) {
        bridge.write(R"({"jsonrpc":"2.0","id":)" + std::to_string(nextId++) +
                     R"(,"method":"tools/call","params":{"name":"notify","arguments":{}}})" + "\n");
        for (int seen = 0; seen < FastApp::kStreamEvents;) {
            const std::string line = bridge.readLine();
            const std::int64_t read = FastApp::nowNs();
            if (line.empty()) break;
            const std::size_t at = line.find("\"sentNs\":");
            if (at == std::string::npos) continue;  // the tool call's own result
            standingMs.push_back(double(read - std::stoll(line.substr(at + 9))) / 1e6);
            ++seen;
        }
    }
    const Stats standingStats = statsOf(standingMs);
    std::vector<double> overheads(viaBridge.size());
    for (std::size_t i = 0; i < viaBridge.size(); ++i)
        overheads[i] = viaBridge[i] - viaDirect[i];
    const Stats bridgeStats = statsOf(viaBridge), directStats = statsOf(viaDirect);

    // 3. Pipelined bursts, and the app's own ceiling for the same load; the bridge's threads are
    // counted meanwhile.
    std::atomic<bool> sampling{true};
    std::atomic<long> peakThreads{0};
    std::thread sampler([&] {
        while (sampling) {
            peakThreads = std::max(peakThreads.load(), bridge.status("Threads"));
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    const double pingRate = burst(bridge, 1000, ping, nextId);
    const double callRate = burst(bridge, 1000, toolCall, nextId);
    sampling = false;
    sampler.join();
    const double pingCeiling = directCeiling(direct, 1000, 8, ping);
    const double callCeiling = directCeiling(direct, 1000, 1, toolCall);

    // 4. Peak resident memory of the bridge that carried all of it.
    const long peakKb = bridge.status("VmHWM");
    // 5. Exit after the input closes with nothing in flight (the session's DELETE included).
    const double exitMs = bridge.closeAndWait();
    app.stop();
    fs::remove_all(work);

    const double overheadMedian = bridgeStats.median - directStats.median;
    const double overheadP99 = bridgeStats.p99 - directStats.p99;
    struct Row {
        std::string name;
        double value;
        std::string unit;
        std::string target;
        bool met;
    };
    const std::vector<Row> rows = {
        {"cold start to initialize reply, app down (median)", down.toInitialize.median, "ms",
         "<= 5", down.toInitialize.median <= 5},
        {"cold start to initialize reply, app up (median)", up.toInitialize.median, "ms", "<= 10",
         up.toInitialize.median <= 10},
        {"tools/call round trip via bridge (median)", bridgeStats.median, "ms", "", true},
        {"tools/call round trip direct (median)", directStats.median, "ms", "", true},
        {"per-call overhead (median difference)", overheadMedian, "ms", "<= 0.15",
         overheadMedian <= 0.15},
        {"tools/call round trip via bridge (p99)", bridgeStats.p99, "ms", "", true},
        {"tools/call round trip direct (p99)", directStats.p99, "ms", "", true},
        {"per-call overhead (p99 difference)", overheadP99, "ms", "<= 1", overheadP99 <= 1},
        {"a line through the pipes of cat and back (median)", echoStats.median, "ms", "", true},
        {"app event mid-stream to host line (median)", relayStats.median, "ms", "", true},
        {"app event mid-stream to host line (p99)", relayStats.p99, "ms", "", true},
        {"app notification on the standing stream to host line (median)", standingStats.median,
         "ms", "", true},
        {"app notification on the standing stream to host line (p99)", standingStats.p99, "ms", "",
         true},
        {"1,000 pipelined pings via bridge", pingRate, "msg/s", ">= 5000 or >= 80% of ceiling",
         pingRate >= 5000 || pingRate >= 0.8 * pingCeiling},
        {"1,000 pings direct, 8 clients (app ceiling)", pingCeiling, "msg/s", "", true},
        {"1,000 pipelined tool calls via bridge (serialised)", callRate, "msg/s", "", true},
        {"1,000 tool calls direct, 1 client (app ceiling)", callCeiling, "msg/s", "", true},
        {"peak resident memory of the bridge", peakKb / 1024.0, "MB", "<= 8", peakKb <= 8 * 1024},
        {"peak threads of the bridge during the bursts", double(peakThreads), "", "", true},
        {"peak resident memory, 1,000 pings with the app down", offlinePeakKb / 1024.0, "MB", "",
         true},
        {"exit after stdin closes, app up (median of 40)", up.exitAfterClose.median, "ms", "<= 20",
         up.exitAfterClose.median <= 20},
        {"exit after stdin closes, app down (median of 40)", down.exitAfterClose.median, "ms",
         "<= 20", down.exitAfterClose.median <= 20},
        {"exit after stdin closes, after the load run", exitMs, "ms", "<= 20", exitMs <= 20},
    };

    std::ostringstream table;
    char line[256];
    std::snprintf(line, sizeof line, "| %-52s | %12s | %-6s | %-28s | %-4s |\n", "measure", "value",
                  "unit", "target", "met");
    table << line << "|" << std::string(54, '-') << "|" << std::string(14, '-') << "|"
          << std::string(8, '-') << "|" << std::string(30, '-') << "|" << std::string(6, '-')
          << "|\n";
    for (const Row& row : rows) {
        std::snprintf(line, sizeof line, "| %-52s | %12.3f | %-6s | %-28s | %-4s |\n",
                      row.name.c_str(), row.value, row.unit.c_str(), row.target.c_str(),
                      row.target.empty() ? "" : (row.met ? "yes" : "NO"));
        table << line;
    }
    std::cout << table.str();

    std::ofstream json(reportDir / "bench.json");
    json << "{\n  \"sequentialCalls\": " << calls << ",\n  \"results\": [\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        json << "    {\"measure\": \"" << rows[i].name << "\", \"value\": " << rows[i].value
             << ", \"unit\": \"" << rows[i].unit << "\", \"target\": \"" << rows[i].target
             << "\", \"met\": "
             << (rows[i].target.empty() ? "null"
                 : rows[i].met          ? "true"
                                        : "false")
             << "}" << (i + 1 < rows.size() ? "," : "") << "\n";
    }
    const Stats overheadStats = statsOf(overheads);
    json << "  ],\n  \"roundTripMs\": {\"bridge\": {\"median\": " << bridgeStats.median
         << ", \"p90\": " << bridgeStats.p90 << ", \"p99\": " << bridgeStats.p99
         << ", \"max\": " << bridgeStats.max << "}, \"direct\": {\"median\": " << directStats.median
         << ", \"p90\": " << directStats.p90 << ", \"p99\": " << directStats.p99
         << ", \"max\": " << directStats.max
         << "}, \"pairedOverhead\": {\"median\": " << overheadStats.median
         << ", \"p99\": " << overheadStats.p99 << "}}\n}\n";

    std::ofstream(reportDir / "latency.svg") << histogramSvg(viaBridge, viaDirect);
    std::ofstream md(reportDir / "bench.md");
    md << "# Bridge benchmark\n\n"
       << "The real bridge binary over pipes next to the same requests sent straight to the same "
          "app (a new connection each time), measured in one run; "
       << calls << " sequential tool calls each way, interleaved.\n\n"
       << table.str()
       << "\nPaired per-call overhead (bridge minus the direct call right after it): median "
       << overheadStats.median << " ms, p99 " << overheadStats.p99 << " ms.\n\n"
       << "![latency distribution](latency.svg)\n";
    std::cout << "\nreport: " << (reportDir / "bench.md").string() << "\n";
    return 0;
}
