// The one file-system operation that the configuration code needs, as a seam: the platform's
// reader in the program, an in-memory one in tests.
#pragma once

#include <functional>
#include <optional>
#include <string>

// Reads a whole file; nothing when it can't be opened or read.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;
