#include "config/path_rules.h"

#include <algorithm>

namespace winpath {

namespace {

bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

bool isDriveLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool hasDrive(std::string_view path) {
    return path.size() >= 2 && isDriveLetter(path[0]) && path[1] == ':';
}

bool isNetworkPath(std::string_view path) {
    return path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]);
}

// Length of "\\server", the network prefix of a path that starts with two separators.
std::size_t networkPrefixLength(std::string_view path) {
    std::size_t end = 2;
    while (end < path.size() && !isSeparator(path[end]))
        ++end;
    return end;
}

// The drive ("C:") or network prefix ("\\server") of a path; empty when it has neither.
std::string_view prefixOf(std::string_view path) {
    if (hasDrive(path)) return path.substr(0, 2);
    if (isNetworkPath(path)) return path.substr(0, networkPrefixLength(path));
    return {};
}

// Length of the part of a path that no operation may split: the drive with the separator after
// it, the network prefix with its separator, or a leading separator.
std::size_t rootLength(std::string_view path) {
    std::size_t length = prefixOf(path).size();
    if (length < path.size() && isSeparator(path[length])) ++length;
    return length;
}

// True for "\\server\share..." with both names present.
bool isNetworkShare(std::string_view path) {
    if (!isNetworkPath(path)) return false;
    const std::size_t serverEnd = networkPrefixLength(path);
    if (serverEnd == 2 || serverEnd + 1 >= path.size()) return false;
    return !isSeparator(path[serverEnd + 1]);
}

}  // namespace

std::string replaceExtensionWithJson(std::string_view path) {
    std::size_t nameStart = prefixOf(path).size();
    const std::size_t lastSeparator = path.find_last_of("\\/");
    if (lastSeparator != std::string_view::npos && lastSeparator + 1 > nameStart) {
        nameStart = lastSeparator + 1;
    }
    std::string_view name = path.substr(nameStart);
    std::size_t cut = path.size();
    const std::size_t colon = name.find(':');
    if (colon != std::string_view::npos) {
        name = name.substr(0, colon);
        cut = nameStart + colon;
    }
    if (name != "..") {
        const std::size_t dot = name.rfind('.');
        if (dot != std::string_view::npos && dot != 0) cut = nameStart + dot;
    }
    std::string result(path.substr(0, cut));
    result += ".json";
    return result;
}

std::string resolvePath(std::string_view base, std::string_view value) {
    if (base.empty()) return std::string(value);
    if (hasDrive(value)) {
        if (value.size() > 2 && isSeparator(value[2])) return std::string(value);
        if (!hasDrive(base) || base.substr(0, 2) != value.substr(0, 2)) return std::string(value);
        std::string result(base);
        if (!isSeparator(result.back())) result += '\\';
        result += value.substr(2);
        return result;
    }
    if (isNetworkShare(value)) return std::string(value);
    if (!value.empty() && isSeparator(value[0])) {
        std::string result(prefixOf(base));
        result += value;
        return result;
    }
    std::string result(base);
    const bool bareDrive = base.size() == 2 && hasDrive(base);
    if (!isSeparator(result.back()) && !bareDrive) result += '\\';
    result += value;
    return result;
}

std::string folderOf(std::string_view path) {
    const std::size_t root = rootLength(path);
    std::size_t end = path.find_last_of("\\/");
    if (end == std::string_view::npos || end < root) return std::string(path.substr(0, root));
    while (end > root && isSeparator(path[end - 1]))
        --end;
    return std::string(path.substr(0, std::max(end, root)));
}

}  // namespace winpath

namespace posixpath {

std::string replaceExtensionWithJson(std::string_view path) {
    const std::size_t lastSeparator = path.rfind('/');
    const std::size_t nameStart = lastSeparator == std::string_view::npos ? 0 : lastSeparator + 1;
    const std::string_view name = path.substr(nameStart);
    std::size_t cut = path.size();
    if (name != "..") {
        const std::size_t dot = name.rfind('.');
        if (dot != std::string_view::npos && dot != 0) cut = nameStart + dot;
    }
    std::string result(path.substr(0, cut));
    result += ".json";
    return result;
}

std::string resolvePath(std::string_view base, std::string_view value) {
    if (base.empty() || (!value.empty() && value[0] == '/')) return std::string(value);
    std::string result(base);
    if (result.back() != '/') result += '/';
    result += value;
    return result;
}

std::string folderOf(std::string_view path) {
    std::size_t end = path.rfind('/');
    if (end == std::string_view::npos) return {};
    while (end > 0 && path[end - 1] == '/')
        --end;
    return std::string(path.substr(0, end == 0 ? 1 : end));
}

}  // namespace posixpath
