#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace platform {

namespace {

void writeAll(int fd, std::string_view first, std::string_view second) {
    iovec parts[2] = {{const_cast<char*>(first.data()), first.size()},
                      {const_cast<char*>(second.data()), second.size()}};
    iovec* next = parts;
    int count = 2;
    while (count > 0) {
        if (next->iov_len == 0) {
            ++next;
            --count;
            continue;
        }
        const ssize_t written = ::writev(fd, next, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        auto left = static_cast<std::size_t>(written);
        while (count > 0 && left >= next->iov_len) {
            left -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + left;
            next->iov_len -= left;
        }
    }
}

}  // namespace

std::string executablePath() {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return {};
        if (static_cast<std::size_t>(length) < buffer.size())
            return {buffer.data(), buffer.data() + length};
        buffer.resize(buffer.size() * 2);
    }
}

std::string localAppDataFolder() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/') return dataHome;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.local/share";
    return {};
}

void checkPathText(std::string_view utf8) {
    if (!isValidUtf8(utf8)) throw ConversionError("Invalid UTF-8 in a path");
}

std::optional<std::string> readWholeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    // Small files (the discovery file is read before every forwarded message) take one read: a
    // regular file reads short only at its end. Anything else reads on until a read gives nothing.
    std::string content;
    char chunk[16384];
    bool regular = false;
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        content.append(chunk, static_cast<std::size_t>(got));
        if (got == 0) break;
        if (static_cast<std::size_t>(got) < sizeof chunk) {
            if (!regular) {
                struct stat info {};
                regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
            }
            if (regular) break;
        }
    }
    ::close(fd);
    return content;
}

std::optional<std::string> readSmallRegularFile(const std::string& path, std::size_t mostBytes) {
    // Not blocking: opening a FIFO for reading would wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uintmax_t>(info.st_size) > mostBytes) {
        ::close(fd);
        return std::nullopt;
    }
    // One byte more than allowed tells a file that grew since the check.
    std::string content(mostBytes + 1, '\0');
    std::size_t size = 0;
    while (size < content.size()) {
        const ssize_t got = ::read(fd, content.data() + size, content.size() - size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        size += static_cast<std::size_t>(got);
    }
    ::close(fd);
    if (size > mostBytes) return std::nullopt;
    content.resize(size);
    return content;
}

void prepareStandardStreams() {
    // POSIX streams never translate line ends; only the broken-pipe signal needs handling.
    ::signal(SIGPIPE, SIG_IGN);
}

std::size_t readStandardInput(char* buffer, std::size_t capacity) {
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, capacity);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return 0;
    }
}

void writeStandardOutputLine(std::string_view bytes) {
    writeAll(STDOUT_FILENO, bytes, "\n");
}

void writeStandardError(std::string_view bytes) {
    writeAll(STDERR_FILENO, bytes, {});
}

void startDetachedThread(std::function<void()> task) {
    std::thread(std::move(task)).detach();
}

void* loadModuleFunction(const std::string& module, const char* function, std::string& error) {
    void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        error = ::dlerror();
        return nullptr;
    }
    void* address = ::dlsym(handle, function);
    if (address == nullptr) error = ::dlerror();
    return address;
}

void exitImmediately(int code) {
    ::_exit(code);
}

}  // namespace platform
