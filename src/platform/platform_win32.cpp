// The Windows side of the platform interface. Paths arrive as UTF-8 and are converted strictly to
// UTF-16 for the system; texts from the system are converted strictly back to UTF-8.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// Below windows.h, which they need.
#include <fcntl.h>
#include <io.h>
#include <knownfolders.h>
#include <objbase.h>
#include <process.h>
#include <shlobj.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr DWORD kLargestChunk = 1u << 30;

// The system's description of an error code, without the line break it ends with.
std::string describeError(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result;
    if (length > 0 && text != nullptr) {
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr,
                                               0, nullptr, nullptr);
        if (size > 0) {
            result.resize(static_cast<std::size_t>(size));
            ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.data(), size,
                                  nullptr, nullptr);
        }
    }
    if (text != nullptr) ::LocalFree(text);
    while (!result.empty() && (result.back() == '\r' || result.back() == '\n'))
        result.pop_back();
    if (result.empty()) result = "Text conversion failed with system error " + std::to_string(code);
    return result;
}

[[noreturn]] void throwConversionError() {
    throw ConversionError(describeError(::GetLastError()));
}

std::wstring toUtf16(std::string_view utf8) {
    if (utf8.empty()) return {};
    if (utf8.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        throwConversionError();
    }
    const int inputLength = static_cast<int>(utf8.size());
    const int size =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inputLength, nullptr, 0);
    if (size <= 0) throwConversionError();
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inputLength,
                              result.data(), size) != size) {
        throwConversionError();
    }
    return result;
}

std::string toUtf8(std::wstring_view utf16) {
    if (utf16.empty()) return {};
    if (utf16.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        throwConversionError();
    }
    const int inputLength = static_cast<int>(utf16.size());
    const int size = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16.data(), inputLength,
                                           nullptr, 0, nullptr, nullptr);
    if (size <= 0) throwConversionError();
    std::string result(static_cast<std::size_t>(size), '\0');
    if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16.data(), inputLength,
                              result.data(), size, nullptr, nullptr) != size) {
        throwConversionError();
    }
    return result;
}

// Writes every byte to a standard handle, giving up at the first failure.
void writeAll(DWORD which, std::string_view bytes) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kLargestChunk));
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0) return;
        bytes.remove_prefix(written);
    }
}

// Opens a file for reading while others may read and write it, but not delete it.
HANDLE openForReading(const std::string& path) {
    std::wstring widePath;
    try {
        widePath = toUtf16(path);
    } catch (const ConversionError&) {
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string executablePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0) return {};
        if (length < size) return toUtf8(std::wstring_view(buffer.data(), length));
        buffer.resize(buffer.size() * 2);
    }
}

std::string localAppDataFolder() {
    PWSTR folder = nullptr;
    const HRESULT result = ::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder);
    std::wstring text;
    if (SUCCEEDED(result) && folder != nullptr) text = folder;
    ::CoTaskMemFree(folder);
    try {
        return toUtf8(text);
    } catch (const ConversionError&) {
        return {};  // a folder that can't be named in UTF-8 is one we can't tell
    }
}

void checkPathText(std::string_view utf8) {
    toUtf16(utf8);
}

std::optional<std::string> readWholeFile(const std::string& path) {
    const HANDLE file = openForReading(path);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string content;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        content.reserve(static_cast<std::size_t>(size.QuadPart));
    }
    std::vector<char> chunk(65536);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
            ::CloseHandle(file);
            return std::nullopt;
        }
        if (got == 0) break;
        content.append(chunk.data(), got);
    }
    ::CloseHandle(file);
    return content;
}

std::optional<std::string> readSmallRegularFile(const std::string& path, std::size_t mostBytes) {
    // Opening a pipe or a device doesn't wait; reading one could, so only a disk file is read.
    const HANDLE file = openForReading(path);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !::GetFileSizeEx(file, &size) ||
        size.QuadPart < 0 || static_cast<std::uint64_t>(size.QuadPart) > mostBytes) {
        ::CloseHandle(file);
        return std::nullopt;
    }
    // One byte more than allowed tells a file that grew since the check.
    std::string content(mostBytes + 1, '\0');
    std::size_t got = 0;
    while (got < content.size()) {
        DWORD read = 0;
        const DWORD want =
            static_cast<DWORD>(std::min<std::size_t>(content.size() - got, kLargestChunk));
        if (!::ReadFile(file, content.data() + got, want, &read, nullptr)) {
            ::CloseHandle(file);
            return std::nullopt;
        }
        if (read == 0) break;
        got += read;
    }
    ::CloseHandle(file);
    if (got > mostBytes) return std::nullopt;
    content.resize(got);
    return content;
}

void prepareStandardStreams() {
    // No CR/LF translation and no end-of-file at Ctrl+Z, should anything use the run-time's
    // streams; our own reads and writes go to the handles directly.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

std::size_t readStandardInput(char* buffer, std::size_t capacity) {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE || capacity == 0) return 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(capacity, kLargestChunk));
    // A closed pipe fails with ERROR_BROKEN_PIPE; a file or console at its end reads nothing.
    DWORD got = 0;
    if (!::ReadFile(input, buffer, size, &got, nullptr)) return 0;
    return got;
}

void writeStandardOutputLine(std::string_view bytes) {
    // One write for short lines, so that a line usually reaches the pipe in one piece.
    if (bytes.size() < 65536) {
        std::string line;
        line.reserve(bytes.size() + 1);
        line.append(bytes);
        line += '\n';
        writeAll(STD_OUTPUT_HANDLE, line);
        return;
    }
    writeAll(STD_OUTPUT_HANDLE, bytes);
    writeAll(STD_OUTPUT_HANDLE, "\n");
}

void writeStandardError(std::string_view bytes) {
    writeAll(STD_ERROR_HANDLE, bytes);
}

namespace {

unsigned __stdcall runDetachedTask(void* context) {
    const std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(context));
    (*task)();
    return 0;
}

}  // namespace

// Straight on the run-time's threads: winpthreads, behind std::thread, has handed a starting
// detached thread a null state when many such threads came and went at once.
void startDetachedThread(std::function<void()> task) {
    auto context = std::make_unique<std::function<void()>>(std::move(task));
    const std::uintptr_t thread =
        ::_beginthreadex(nullptr, 0, runDetachedTask, context.get(), 0, nullptr);
    if (thread == 0) {
        throw std::system_error(errno, std::generic_category(), "cannot start a thread");
    }
    context.release();
    ::CloseHandle(reinterpret_cast<HANDLE>(thread));
}

void* loadModuleFunction(const std::string& module, const char* function, std::string& error) {
    try {
        const HMODULE handle = ::LoadLibraryW(toUtf16(module).c_str());
        if (handle == nullptr) {
            error = describeError(::GetLastError());
            return nullptr;
        }
        FARPROC address = ::GetProcAddress(handle, function);
        if (address == nullptr) error = describeError(::GetLastError());
        return reinterpret_cast<void*>(address);
    } catch (const ConversionError& failure) {
        error = failure.what();
        return nullptr;
    }
}

void exitImmediately(int code) {
    // Not even the run-time's and the libraries' process-detach code runs: threads that were cut
    // off may hold their locks.
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
    std::_Exit(code);
}

}  // namespace platform
