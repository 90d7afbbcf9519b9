// The platform layer of this build as the rest of the bridge uses it: whole-file reads by UTF-8
// path, strict path-text checks, and where the process and the user's data live.
#include "platform/platform.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path fromUtf8(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << utf8(path);
}

class PlatformFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        dir = fs::temp_directory_path() / ("mcp-bridge-platform-" + std::to_string(random()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    fs::path dir;
};

TEST_F(PlatformFiles, ReadsWholeFilesByteForByte) {
    std::string everyByte;
    for (int value = 0; value < 256; ++value)
        everyByte += static_cast<char>(value);
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"empty", ""},
        {"line ends kept", "{\"a\":1}\r\n{\"b\":2}\n\r"},
        {"NUL and Ctrl+Z inside", std::string("a\0b\x1a"
                                              "c\x1a",
                                              6)},
        {"every byte value", everyByte},
        {"larger than one read", std::string(300000, '\xE6') + "end"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir / "file.json";
        writeBytes(file, c.content);
        const std::optional<std::string> read = platform::readWholeFile(utf8(file));
        ASSERT_TRUE(read.has_value());
        EXPECT_TRUE(*read == c.content) << read->size() << " bytes";
    }
}

TEST_F(PlatformFiles, OpensPathsWithCharactersBeyondAscii) {
    const fs::path folder = dir / fs::path(u8"Ünïcødé 日本");
    fs::create_directories(folder / fs::path(u8"データ"));
    const struct {
        fs::path file;
        std::string content;
    } cases[] = {
        {folder / fs::path(u8"snapshot ü.json"), "{\"tools\":[]}"},
        {folder / fs::path(u8"データ") / fs::path(u8"😀.json"), "{}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(utf8(c.file));
        writeBytes(c.file, c.content);
        EXPECT_EQ(platform::readWholeFile(utf8(c.file)), c.content);
    }
}

TEST_F(PlatformFiles, GivesNothingForWhatIsNoReadableFile) {
    const fs::path cases[] = {
        dir / "missing.json",
        dir / "no-such-folder" / "file.json",
        dir,
    };
    for (const fs::path& path : cases) {
        EXPECT_EQ(platform::readWholeFile(utf8(path)), std::nullopt) << utf8(path);
    }
}

TEST_F(PlatformFiles, ReadsOnlySmallRegularFilesWithoutWaiting) {
    writeBytes(dir / "small.json", "{}");
    writeBytes(dir / "limit.json", std::string(64, 'x'));
    writeBytes(dir / "over.json", std::string(65, 'x'));
    EXPECT_EQ(platform::readSmallRegularFile(utf8(dir / "small.json"), 64), "{}");
    EXPECT_EQ(platform::readSmallRegularFile(utf8(dir / "limit.json"), 64), std::string(64, 'x'));
    std::vector<std::string> refused = {utf8(dir / "over.json"), utf8(dir), utf8(dir / "missing")};
#ifdef _WIN32
    refused.push_back("NUL");
    refused.push_back("CONIN$");
#else
    // A FIFO nobody writes (opening it for reading would wait for a writer), and the endless
    // device, reached through a link.
    ASSERT_EQ(::mkfifo(utf8(dir / "fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "zero");
    refused.push_back(utf8(dir / "fifo"));
    refused.push_back(utf8(dir / "zero"));
#endif
    for (const std::string& path : refused)
        EXPECT_EQ(platform::readSmallRegularFile(path, 64), std::nullopt) << path;
}

TEST_F(PlatformFiles, ReadsAFileThatAWriterHoldsOpen) {
    const fs::path file = dir / "discovery.json";
    const std::string content = R"({"url":"http://127.0.0.1:1/","authToken":""})";
#ifdef _WIN32
    // The app keeps its handle for writing, sharing reading and writing but not deletion.
    const HANDLE writer =
        ::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(
        ::WriteFile(writer, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    EXPECT_EQ(platform::readWholeFile(utf8(file)), content);
    ::CloseHandle(writer);
#else
    std::ofstream writer(file, std::ios::binary);
    writer << content << std::flush;
    EXPECT_EQ(platform::readWholeFile(utf8(file)), content);
#endif
}

TEST(PlatformText, AcceptsWellFormedUtf8) {
    const std::string cases[] = {
        "",
        "C:\\Tools\\bridge.json",
        "/opt/tools/bridge.json",
        reinterpret_cast<const char*>(u8"Ünïcødé 日本\\snapshot.json"),
        reinterpret_cast<const char*>(u8"\U0010FFFF \U0001F600"),
        std::string("a\0b", 3),
    };
    for (const std::string& text : cases) {
        EXPECT_NO_THROW(platform::checkPathText(text)) << text;
    }
}

TEST(PlatformText, RejectsMalformedUtf8WithAOneLineMessage) {
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"lone continuation byte", "a\x80z"},         {"overlong slash", "\xC0\xAF"},
        {"overlong three-byte form", "\xE0\x80\xAF"}, {"encoded surrogate", "\xED\xA0\x80"},
        {"above U+10FFFF", "\xF4\x90\x80\x80"},       {"cut off at the end", "C:\\\xE6\x97"},
        {"cut off before ASCII", "\xE6\x97x"},        {"byte FF", "\xFF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            platform::checkPathText(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const platform::ConversionError& error) {
            const std::string message = error.what();
            EXPECT_FALSE(message.empty());
            EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << message;
        }
    }
}

TEST(PlatformProcess, NamesTheRunningExecutable) {
    const std::string path = platform::executablePath();
    ASSERT_FALSE(path.empty());
    const fs::path executable = fromUtf8(path);
    EXPECT_TRUE(executable.is_absolute()) << path;
    EXPECT_EQ(utf8(executable.stem()), "unit_tests") << path;
    EXPECT_TRUE(fs::is_regular_file(executable)) << path;
}

TEST(PlatformProcess, FindsTheLocalApplicationDataFolder) {
    const std::string folder = platform::localAppDataFolder();
#ifdef _WIN32
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(fromUtf8(folder).is_absolute()) << folder;
    EXPECT_TRUE(fs::is_directory(fromUtf8(folder))) << folder;
#else
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (dataHome != nullptr && dataHome[0] == '/') {
        EXPECT_EQ(folder, dataHome);
    } else if (home != nullptr && home[0] != '\0') {
        EXPECT_EQ(folder, std::string(home) + "/.local/share");
    } else {
        EXPECT_EQ(folder, "");
    }
#endif
}

}  // namespace
