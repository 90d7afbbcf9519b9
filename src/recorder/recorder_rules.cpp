#include "recorder/recorder_rules.h"

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <map>

#include "config/config.h"
#include "config/path_rules.h"
#include "jsonrpc/json.h"
#include "jsonrpc/replies.h"
#include "platform/platform.h"

const char kRecorderHelp[] =
    R"(Usage: mcp-bridge-snapshot [--output FILE] SOURCE
       mcp-bridge-snapshot --check SNAPSHOT SOURCE
       mcp-bridge-snapshot --help

Records the snapshot that mcp-bridge answers from while the app is not running, from the
running app itself, or checks that a recorded snapshot still matches it.

SOURCE is the app's discovery file, or a bridge configuration (mcp-bridge.json) whose
"discoveryFile" names it. The app must be running. The recorder opens a session with it as the
bridge does, lists its tools, following "nextCursor" to the last page, and ends the session. The
snapshot holds the app's initialize result and its tools.

  --output FILE      write the snapshot to FILE instead of standard output
  --check SNAPSHOT   compare the app's tools with those in SNAPSHOT; print the names of tools
                     added (+), removed (-) and changed (~)
  --help             show this text

Exit codes:
  0  the snapshot was written, or --check found the same tools
  1  --check found different tools
  2  nothing could be recorded or checked: a bad command line or file, the app not running,
     or the app refused; one line on standard error says why
)";

namespace {

std::string compactText(const rapidjson::Value& value) {
    return jsonrpc::toJsonText(value);
}

// What a tool is called in a diff: its name, or its whole text when it has none.
std::string toolName(const rapidjson::Value& tool) {
    if (tool.IsObject()) {
        const auto name = tool.FindMember("name");
        if (name != tool.MemberEnd() && name->value.IsString()) {
            return std::string(name->value.GetString(), name->value.GetStringLength());
        }
    }
    return compactText(tool);
}

std::map<std::string, const rapidjson::Value*> toolsByName(const rapidjson::Value& tools) {
    std::map<std::string, const rapidjson::Value*> byName;
    for (const rapidjson::Value& tool : tools.GetArray())
        byName.emplace(toolName(tool), &tool);
    return byName;
}

void parseArray(rapidjson::Document& document, const std::string& text) {
    jsonrpc::parseJson(document, text);
    if (document.HasParseError() || !document.IsArray()) {
        throw std::runtime_error("a tool list is not a JSON array");
    }
}

}  // namespace

RecorderCommand parseRecorderArguments(const std::vector<std::string>& arguments) {
    RecorderCommand command;
    std::vector<std::string> positional;
    bool hasOutput = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            command.mode = RecorderCommand::Mode::Help;
            return command;
        }
        if (argument == "--output" || argument == "--check") {
            if (i + 1 == arguments.size() || arguments[i + 1].empty()) {
                throw UsageError(argument + " needs a file name");
            }
            const bool isCheck = argument == "--check";
            if ((isCheck && command.mode == RecorderCommand::Mode::Check) ||
                (!isCheck && hasOutput)) {
                throw UsageError(argument + " is given twice");
            }
            if (isCheck) {
                command.mode = RecorderCommand::Mode::Check;
                command.snapshot = arguments[++i];
            } else {
                hasOutput = true;
                command.output = arguments[++i];
            }
        } else if (argument.size() > 1 && argument[0] == '-') {
            throw UsageError("unknown option " + argument);
        } else {
            positional.push_back(argument);
        }
    }
    if (hasOutput && command.mode == RecorderCommand::Mode::Check) {
        throw UsageError("--output and --check don't go together");
    }
    if (positional.size() > 1) throw UsageError("more than one SOURCE given");
    if (positional.empty() || positional[0].empty()) throw UsageError("no SOURCE given");
    command.source = positional[0];
    return command;
}

std::string discoveryPathFor(const std::string& sourcePath, const std::string& sourceText,
                             const std::string& localAppData) {
    rapidjson::Document document;
    jsonrpc::parseJson(document, sourceText);
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("discoveryFile")) {
        return sourcePath;
    }
    const std::string discoveryFile = requireNonEmptyString(document, "discoveryFile", sourcePath);
    platform::checkPathText(discoveryFile);
    return nativepath::resolvePath(localAppData, discoveryFile);
}

std::string toolListRequest(int id, const std::optional<std::string>& cursor) {
    std::string body =
        R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/list")";
    if (cursor) body += R"(,"params":{"cursor":)" + jsonrpc::quoteJsonString(*cursor) + "}";
    return body + "}";
}

ToolPage readToolPage(const std::vector<std::string>& messages) {
    for (const std::string& text : messages) {
        rapidjson::Document message;
        jsonrpc::parseJson(message, text);
        if (message.HasParseError() || !message.IsObject()) continue;
        const auto error = message.FindMember("error");
        if (error != message.MemberEnd()) {
            const auto errorText = error->value.IsObject() ? error->value.FindMember("message")
                                                           : error->value.MemberEnd();
            std::string what = "the app answered tools/list with an error";
            if (error->value.IsObject() && errorText != error->value.MemberEnd() &&
                errorText->value.IsString()) {
                what += std::string(": ") + errorText->value.GetString();
            }
            throw std::runtime_error(what);
        }
        const auto result = message.FindMember("result");
        if (result == message.MemberEnd() || !result->value.IsObject()) continue;
        const auto tools = result->value.FindMember("tools");
        if (tools == result->value.MemberEnd() || !tools->value.IsArray()) break;
        ToolPage page;
        for (const rapidjson::Value& tool : tools->value.GetArray())
            page.tools.push_back(compactText(tool));
        const auto cursor = result->value.FindMember("nextCursor");
        if (cursor != result->value.MemberEnd() && cursor->value.IsString() &&
            cursor->value.GetStringLength() > 0) {
            page.nextCursor =
                std::string(cursor->value.GetString(), cursor->value.GetStringLength());
        }
        return page;
    }
    throw std::runtime_error("the app's answer to tools/list holds no \"tools\" array");
}

std::string toolArrayText(const std::vector<std::string>& tools) {
    std::string text = "[";
    for (const std::string& tool : tools) {
        if (text.size() > 1) text += ',';
        text += tool;
    }
    return text + "]";
}

std::string snapshotText(const std::string& initializeJson, const std::string& toolsJson) {
    rapidjson::Document initialize;
    rapidjson::Document tools;
    jsonrpc::parseJson(initialize, initializeJson);
    parseArray(tools, toolsJson);
    if (initialize.HasParseError() || !initialize.IsObject()) {
        throw std::runtime_error("the app's initialize result is not a JSON object");
    }
    rapidjson::Document snapshot(rapidjson::kObjectType);
    auto& allocator = snapshot.GetAllocator();
    snapshot.AddMember("initialize", rapidjson::Value(initialize, allocator), allocator);
    snapshot.AddMember("tools", rapidjson::Value(tools, allocator), allocator);
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    writer.SetIndent(' ', 2);
    snapshot.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

ToolDiff diffTools(const std::string& recordedToolsJson, const std::string& currentToolsJson) {
    rapidjson::Document recorded;
    rapidjson::Document current;
    parseArray(recorded, recordedToolsJson);
    parseArray(current, currentToolsJson);
    ToolDiff diff;
    if (recorded == current) return diff;
    const auto before = toolsByName(recorded);
    const auto after = toolsByName(current);
    for (const auto& [name, tool] : after) {
        const auto old = before.find(name);
        if (old == before.end()) {
            diff.added.push_back(name);
        } else if (*old->second != *tool) {
            diff.changed.push_back(name);
        }
    }
    for (const auto& [name, tool] : before) {
        if (after.find(name) == after.end()) diff.removed.push_back(name);
    }
    diff.reordered = diff.added.empty() && diff.removed.empty() && diff.changed.empty();
    return diff;
}

std::string describeDiff(const ToolDiff& diff) {
    std::string text;
    for (const std::string& name : diff.added)
        text += "+ " + name + "\n";
    for (const std::string& name : diff.removed)
        text += "- " + name + "\n";
    for (const std::string& name : diff.changed)
        text += "~ " + name + "\n";
    if (diff.reordered) text += "~ the same tools, listed in another order or more than once\n";
    return text;
}
