// The operating-system calls the bridge needs, behind one interface. There is one implementation
// file per platform: platform_posix.cpp and platform_win32.cpp.
//
// Paths travel through the portable code as UTF-8 text. The Windows side converts them strictly to
// UTF-16 at the system boundary; the POSIX side hands the bytes to the system as they are.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// Raised when a text is not valid in the encoding it is converted from.
class ConversionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The path of the running executable, or empty text when the system can't tell it.
std::string executablePath();

// The user's local application-data folder, or empty text when it can't be determined.
std::string localAppDataFolder();

// Checks that a path value can be handed to the file system, throwing ConversionError with the
// platform's own wording when it can't (invalid UTF-8 on every platform).
void checkPathText(std::string_view utf8);

// Reads a whole file, opened for reading in binary mode while other processes may keep reading and
// writing it (but not delete it, on Windows). Nothing when the file can't be opened or read.
std::optional<std::string> readWholeFile(const std::string& path);

// Reads a regular file of at most `mostBytes` bytes, opened as readWholeFile opens it but without
// waiting for anything: nothing for anything else (a pipe, a device, a folder, a larger file), so
// that what another program put at the path can neither block the read nor make it unbounded.
std::optional<std::string> readSmallRegularFile(const std::string& path, std::size_t mostBytes);

// Prepares the standard streams: binary mode, and no signal when the reader of our output has gone.
void prepareStandardStreams();

// Reads whatever standard input has, up to `capacity` bytes, blocking until at least one byte is
// there. Returns the number of bytes read; 0 at the end of input or on a read error.
std::size_t readStandardInput(char* buffer, std::size_t capacity);

// Writes the bytes and one line feed to standard output, unbuffered, so the line is out when the
// call returns. Failures are ignored: a host that stopped reading must not stop the bridge.
void writeStandardOutputLine(std::string_view bytes);

// Writes all bytes to standard error, failures ignored.
void writeStandardError(std::string_view bytes);

// Runs `task` on a new thread that nobody waits for; throws std::system_error when no thread can be
// started.
void startDetachedThread(std::function<void()> task);

// Loads a module by its file name, as the executable finds its libraries (on POSIX builds, beside
// the executable first), and returns the address of `function` in it. Nothing when either can't be
// had; `error` then says why.
void* loadModuleFunction(const std::string& module, const char* function, std::string& error);

// Ends the process at once with `code`: no exit handlers, no destructors, other threads end too.
[[noreturn]] void exitImmediately(int code);

}  // namespace platform
