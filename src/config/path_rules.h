// Path rules for locating the bridge's files: the configuration file beside the executable, a
// relative discovery file under the local application-data folder, a relative snapshot file beside
// the configuration file. Pure text functions, so both rule sets are tested on every platform.
#pragma once

#include <string>
#include <string_view>

namespace winpath {

// The path with its file-name extension replaced by ".json" (appended when there is none). Both
// slashes separate; a drive or network prefix never belongs to the file name; an alternate data
// stream (after a ':' in the file name) is cut off.
std::string replaceExtensionWithJson(std::string_view path);

// The ordinary Windows join of `value` onto `base`: absolute and other-drive values stand alone,
// rooted values take the base's drive, relative ones go under the base. Only ever adds backslashes.
std::string resolvePath(std::string_view base, std::string_view value);

// The path without its last component and the separators before it; a root stays whole.
std::string folderOf(std::string_view path);

}  // namespace winpath

namespace posixpath {

std::string replaceExtensionWithJson(std::string_view path);
std::string resolvePath(std::string_view base, std::string_view value);
std::string folderOf(std::string_view path);

}  // namespace posixpath

// The rules of the platform the bridge is built for.
#ifdef _WIN32
namespace nativepath = winpath;
#else
namespace nativepath = posixpath;
#endif
