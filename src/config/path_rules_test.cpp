#include "config/path_rules.h"

#include <gtest/gtest.h>

namespace {

struct PathCase {
    const char* input;
    const char* expected;
};

TEST(WindowsPathRules, ReplacesTheExtensionWithJson) {
    const PathCase cases[] = {
        {R"(C:\Tools\bridge.exe)", R"(C:\Tools\bridge.json)"},
        {R"(C:\Tools\my.bridge.exe)", R"(C:\Tools\my.bridge.json)"},
        {R"(C:\Tools\bridge)", R"(C:\Tools\bridge.json)"},
        {R"(C:\Tools\.bridge)", R"(C:\Tools\.bridge.json)"},
        {R"(C:\my.tools\bridge)", R"(C:\my.tools\bridge.json)"},
        {"C:/Tools/bridge.exe", "C:/Tools/bridge.json"},
        {R"(C:\Tools\bridge.)", R"(C:\Tools\bridge.json)"},
        {R"(C:\Tools\bridge.exe:stream)", R"(C:\Tools\bridge.json)"},
        {R"(C:\Tools\bridge:stream.x)", R"(C:\Tools\bridge.json)"},
        {R"(C:\Tools\..)", R"(C:\Tools\...json)"},
        {R"(C:\Tools\.)", R"(C:\Tools\..json)"},
        {"C:bridge.exe", "C:bridge.json"},
        {R"(\\server\share\bridge.exe)", R"(\\server\share\bridge.json)"},
        {R"(\\server.name)", R"(\\server.name.json)"},
        {"", ".json"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(winpath::replaceExtensionWithJson(c.input), c.expected) << c.input;
    }
}

struct JoinCase {
    const char* base;
    const char* value;
    const char* expected;
};

TEST(WindowsPathRules, ResolvesAgainstABaseFolder) {
    const JoinCase cases[] = {
        {R"(C:\Users\u\AppData\Local)", R"(App\discovery.json)",
         R"(C:\Users\u\AppData\Local\App\discovery.json)"},
        {R"(C:\Users\u\AppData\Local\)", "d.json", R"(C:\Users\u\AppData\Local\d.json)"},
        {R"(C:\Local)", R"(D:\data\x.json)", R"(D:\data\x.json)"},
        {R"(C:\Local)", "D:/data/x.json", "D:/data/x.json"},
        {R"(C:\Local)", R"(\\srv\share\x.json)", R"(\\srv\share\x.json)"},
        {R"(C:\Local)", "D:x.json", "D:x.json"},
        {R"(C:\Local)", "C:x.json", R"(C:\Local\x.json)"},
        {R"(C:\Local\)", "C:x.json", R"(C:\Local\x.json)"},
        {R"(C:\Local)", "c:x.json", "c:x.json"},
        {R"(C:\Local)", R"(\data\x.json)", R"(C:\data\x.json)"},
        {R"(C:\Local)", "/data/x.json", "C:/data/x.json"},
        {R"(\\srv\share\dir)", R"(\x.json)", R"(\\srv\x.json)"},
        {"C:", "x.json", "C:x.json"},
        {"", R"(App\x.json)", R"(App\x.json)"},
        {"", R"(\x.json)", R"(\x.json)"},
        {R"(C:\Local)", R"(..\x.json)", R"(C:\Local\..\x.json)"},
        {"C:/Local", "x.json", R"(C:/Local\x.json)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(winpath::resolvePath(c.base, c.value), c.expected) << c.base << " + " << c.value;
    }
}

TEST(WindowsPathRules, FolderOfAPath) {
    const PathCase cases[] = {
        {R"(C:\Tools\bridge.json)", R"(C:\Tools)"},
        {R"(C:\Tools\\bridge.json)", R"(C:\Tools)"},
        {R"(C:\bridge.json)", R"(C:\)"},
        {"C:bridge.json", "C:"},
        {R"(\bridge.json)", R"(\)"},
        {R"(\\server\share\bridge.json)", R"(\\server\share)"},
        {"a/b/c.json", "a/b"},
        {".json", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(winpath::folderOf(c.input), c.expected) << c.input;
}

TEST(PosixPathRules, ReplaceResolveAndFolder) {
    const PathCase extensions[] = {
        {"/opt/tools/mcp-bridge", "/opt/tools/mcp-bridge.json"},
        {"/opt/tools/my.bridge.bin", "/opt/tools/my.bridge.json"},
        {"/opt/my.tools/bridge", "/opt/my.tools/bridge.json"},
        {"/opt/.bridge", "/opt/.bridge.json"},
        {"/opt/bridge:x.y", "/opt/bridge:x.json"},
        {"", ".json"},
    };
    for (const auto& c : extensions) {
        EXPECT_EQ(posixpath::replaceExtensionWithJson(c.input), c.expected) << c.input;
    }
    const JoinCase joins[] = {
        {"/home/u/.local/share", "App/discovery.json", "/home/u/.local/share/App/discovery.json"},
        {"/home/u/.local/share/", "d.json", "/home/u/.local/share/d.json"},
        {"/home/u", "/etc/d.json", "/etc/d.json"},
        {"", "d.json", "d.json"},
        {"/", "d.json", "/d.json"},
    };
    for (const auto& c : joins) {
        EXPECT_EQ(posixpath::resolvePath(c.base, c.value), c.expected)
            << c.base << " + " << c.value;
    }
    const PathCase folders[] = {
        {"/opt/tools/mcp-bridge.json", "/opt/tools"},
        {"/mcp-bridge.json", "/"},
        {"/opt//x.json", "/opt"},
        {".json", ""},
    };
    for (const auto& c : folders)
        EXPECT_EQ(posixpath::folderOf(c.input), c.expected) << c.input;
}

}  // namespace
