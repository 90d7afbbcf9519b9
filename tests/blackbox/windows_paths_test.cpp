// The Windows build's paths seen from outside: folders and file names beyond ASCII for all three
// files, a relative discovery file under the local application-data folder, and executable names
// with several dots. Also the bytes of standard input, which a Windows run-time could take as text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "bridge_fixture.h"
#include "fake_app.h"

using namespace testing_support;

namespace {

namespace fs = std::filesystem;

const char kPing[] = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
const char kPingResult[] = R"({"jsonrpc":"2.0","id":1,"result":{}})";

fs::path u8(const char8_t* text) {
    return fs::path(text);
}

std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

// A path on this machine as the Windows bridge names it in its messages: on drive Z:, with
// backslashes.
std::string windowsPath(const fs::path& path) {
    std::string text = "Z:" + utf8(path);
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    return text;
}

// The text as the content of a JSON string.
std::string jsonString(const std::string& text) {
    std::string result = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') result += '\\';
        result += c;
    }
    return result + "\"";
}

std::string configText(const std::string& discoveryFile, const std::string& snapshotFile) {
    return R"({"discoveryFile":)" + jsonString(discoveryFile) +
           R"(,"offlineMessage":"offline","snapshotFile":)" + jsonString(snapshotFile) + "}";
}

// Where Wine keeps the local application-data folder of its user, seen from this machine.
std::optional<fs::path> wineLocalAppData() {
    fs::path prefix;
    if (const char* set = std::getenv("WINEPREFIX"); set != nullptr && *set != '\0') {
        prefix = set;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        prefix = fs::path(home) / ".wine";
    }
    const fs::path users = prefix / "drive_c" / "users";
    std::error_code error;
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(users, error)) {
        const fs::path local = entry.path() / "AppData" / "Local";
        if (entry.path().filename() != "Public" && fs::is_directory(local)) found.push_back(local);
    }
    const char* user = std::getenv("USER");
    for (const fs::path& local : found) {
        if (user != nullptr && local.parent_path().parent_path().filename() == user) return local;
    }
    if (found.size() == 1) return found.front();
    return std::nullopt;
}

class WindowsPaths : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bridgeIsWindowsBuild()) {
            GTEST_SKIP() << "Windows path rules: only the Windows build (.exe) applies them";
        }
    }

    TempDir dir;
};

TEST_F(WindowsPaths, ReadsAllThreeFilesInFoldersNamedBeyondAscii) {
    const struct {
        const char8_t* bridgeFolder;
        const char8_t* bridgeName;
        const char8_t* snapshotValue;  // relative to the configuration's folder
        const char8_t* snapshotFile;   // the same, from the bridge's folder
        const char8_t* discoveryFolder;
    } cases[] = {
        {u8"Ünïcødé 日本", u8"mcp-bridge.exe", u8"snapshot.json", u8"snapshot.json",
         u8"Ünïcødé 日本"},
        {u8"Ünïcødé 日本", u8"mcp-bridge.exe", u8"データ\\snapshot 😀.json",
         u8"データ/snapshot 😀.json", u8"Ωmega/発見"},
        {u8"мост", u8"мост.exe", u8"снимок.json", u8"снимок.json", u8"мост"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(utf8(c.bridgeFolder) + " " + utf8(c.snapshotValue));
        const fs::path folder = dir / u8(c.bridgeFolder);
        fs::create_directories(folder);
        const fs::path bridge = installBridge(folder, utf8(c.bridgeName));
        const fs::path snapshot = folder / u8(c.snapshotFile);
        fs::create_directories(snapshot.parent_path());
        writeFile(snapshot, kSnapshotJson);
        const fs::path discoveryFolder = dir / u8(c.discoveryFolder);
        fs::create_directories(discoveryFolder);
        const fs::path discovery = discoveryFolder / u8(u8"発見 ü.json");
        writeFile(fs::path(bridge).replace_extension(".json"),
                  configText(windowsPath(discovery), utf8(c.snapshotValue)));
        FakeApp app(discovery);
        app.setTools(kSnapshotToolsCompact);  // no tool-list change to announce

        const BridgeRun run = runBridge(bridge, std::string(kPing) + "\n");

        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.err, std::vector<std::string>{});
        EXPECT_EQ(run.out, std::vector<std::string>{kPingResult});
        EXPECT_EQ(app.requests("ping").size(), 1u);
    }
}

TEST_F(WindowsPaths, NamesPathsBeyondAsciiInItsMessages) {
    const fs::path folder = dir / u8(u8"Ünïcødé 日本");
    fs::create_directories(folder);
    const fs::path bridge = installBridge(folder, utf8(u8"мост.exe"));
    const fs::path config = folder / u8(u8"мост.json");

    const BridgeRun noConfig = runBridge(bridge, "");
    EXPECT_EQ(noConfig.exitCode, 1);
    EXPECT_EQ(noConfig.err, std::vector<std::string>{"Cannot read " + windowsPath(config)});

    writeFile(config, configText("d.json", utf8(u8"データ\\missing ü.json")));
    const BridgeRun noSnapshot = runBridge(bridge, "");
    EXPECT_EQ(noSnapshot.exitCode, 1);
    EXPECT_EQ(noSnapshot.err, std::vector<std::string>{"Cannot read " + windowsPath(folder) +
                                                       utf8(u8"\\データ\\missing ü.json")});
    EXPECT_TRUE(noSnapshot.out.empty());
}

TEST_F(WindowsPaths, TakesARelativeDiscoveryFileUnderTheLocalApplicationDataFolder) {
    const std::optional<fs::path> localAppData = wineLocalAppData();
    ASSERT_TRUE(localAppData) << "no user folder in the Wine prefix (WINEPREFIX or ~/.wine)";
    std::random_device random;
    const std::string own = "mcp-bridge-test-" + std::to_string(random());
    const fs::path ownFolder = *localAppData / own;
    struct Cleanup {
        fs::path folder;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        }
    } cleanup{ownFolder};
    // From drive C:'s root to the folder, for a value that starts with a separator.
    std::string fromDriveRoot;
    for (fs::path part = ownFolder; part.has_parent_path() && part.filename() != "drive_c";
         part = part.parent_path()) {
        fromDriveRoot = "\\" + utf8(part.filename()) + fromDriveRoot;
    }

    const struct {
        const char* name;
        std::string value;
    } cases[] = {
        {"backslashes", own + utf8(u8"\\Ünïcødé\\discovery.json")},
        {"forward slashes", own + utf8(u8"/Ünïcødé/discovery.json")},
        {"rooted on the folder's drive", fromDriveRoot + utf8(u8"\\Ünïcødé\\discovery.json")},
    };
    const fs::path discovery = ownFolder / u8(u8"Ünïcødé") / "discovery.json";
    fs::create_directories(discovery.parent_path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path bridge = installBridge(dir.path());
        writeFile(dir / "snapshot.json", kSnapshotJson);
        writeFile(fs::path(bridge).replace_extension(".json"),
                  configText(c.value, "snapshot.json"));
        FakeApp app(discovery);
        app.setTools(kSnapshotToolsCompact);  // no tool-list change to announce

        const BridgeRun run = runBridge(bridge, std::string(kPing) + "\n");

        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, std::vector<std::string>{kPingResult});
        EXPECT_EQ(app.requests("ping").size(), 1u);
    }
}

TEST_F(WindowsPaths, ReadsTheConfigurationNamedAfterAnExecutableWithSeveralDots) {
    const struct {
        const char* executable;
        const char* configuration;
    } cases[] = {
        {"my.bridge.v2.exe", "my.bridge.v2.json"},
        {"bridge.exe.exe", "bridge.exe.json"},
        {"v1.2 bridge.exe", "v1.2 bridge.json"},
    };
    writeFile(dir / "snapshot.json", kSnapshotJson);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.executable);
        const fs::path bridge = installBridge(dir.path(), c.executable);

        const BridgeRun missing = runBridge(bridge, "");
        EXPECT_EQ(missing.exitCode, 1);
        EXPECT_EQ(missing.err,
                  std::vector<std::string>{"Cannot read " + windowsPath(dir / c.configuration)});

        writeFile(dir / c.configuration, configText("d.json", "snapshot.json"));
        const BridgeRun run = runBridge(bridge, std::string(kPing) + "\n");
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, std::vector<std::string>{kPingResult});
    }
}

class StandardInputBytes : public BridgeFixture {};

TEST_F(StandardInputBytes, CtrlZAndCarriageReturnsAreOrdinaryBytes) {
    const BridgeRun result = run(std::string(kPing) + "\r\n\x1a\r\n" +
                                 R"({"jsonrpc":"2.0","id":2,"method":"ping"})" + "\n\x1a");
    EXPECT_EQ(result.exitCode, 0);
    std::vector<std::string> pingReplies;
    for (const std::string& line : result.out) {
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
        if (line.find(R"("result":{})") != std::string::npos) pingReplies.push_back(line);
    }
    std::sort(pingReplies.begin(), pingReplies.end());
    EXPECT_EQ(pingReplies,
              (std::vector<std::string>{kPingResult, R"({"jsonrpc":"2.0","id":2,"result":{}})"}));
}

}  // namespace
