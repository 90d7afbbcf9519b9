// The HTTP client on WinHTTP, the system's own: a session of its own per exchange, so no
// connection outlives the call. The body is read in a loop and handed on piece by piece; another
// thread stops an exchange by closing its request handle, which ends a pending wait.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// Below windows.h, which it needs.
#include <winhttp.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "applink/http_client.h"

namespace {

constexpr DWORD kConnectTimeoutMs = 5'000;
constexpr DWORD kSendTimeoutMs = 86'400'000;

class Handle {
  public:
    explicit Handle(HINTERNET opened) : handle(opened) {}
    ~Handle() {
        if (handle != nullptr) ::WinHttpCloseHandle(handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    explicit operator bool() const { return handle != nullptr; }
    HINTERNET get() const { return handle; }

  private:
    HINTERNET handle;
};

// Header texts travel byte for byte: each byte becomes the UTF-16 unit of the same value.
std::wstring widenBytes(std::string_view bytes) {
    std::wstring result;
    result.reserve(bytes.size());
    for (const char c : bytes)
        result += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return result;
}

// The way back: units below 256 are bytes again; anything else WinHTTP decoded is kept as UTF-8.
std::string narrowUnits(std::wstring_view units) {
    std::string result;
    result.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t code = units[i];
        if (code < 0x100) {
            result += static_cast<char>(code);
            continue;
        }
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        if (code < 0x800) {
            result += static_cast<char>(0xC0 | (code >> 6));
        } else if (code < 0x10000) {
            result += static_cast<char>(0xE0 | (code >> 12));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (code >> 18));
            result += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        }
        result += static_cast<char>(0x80 | (code & 0x3F));
    }
    return result;
}

// The request path as UTF-16; WinHTTP escapes what may not stand in a request line.
std::optional<std::wstring> pathText(std::string_view utf8) {
    if (utf8.empty()) return std::wstring(L"/");
    if (utf8.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return {};
    const int length = static_cast<int>(utf8.size());
    const int size =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (size <= 0) return {};
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, result.data(),
                              size) != size) {
        return {};
    }
    return result;
}

// The first value of a response header, or nothing when it is absent.
std::optional<std::wstring> queryHeader(HINTERNET request, DWORD info, const wchar_t* name) {
    DWORD index = 0;
    DWORD bytes = 0;
    ::WinHttpQueryHeaders(request, info, name, WINHTTP_NO_OUTPUT_BUFFER, &bytes, &index);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return {};
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    index = 0;
    if (!::WinHttpQueryHeaders(request, info, name, value.data(), &bytes, &index)) return {};
    value.resize(bytes / sizeof(wchar_t));
    return value;
}

std::string headerText(HINTERNET request, DWORD info, const wchar_t* name = nullptr) {
    const std::optional<std::wstring> value =
        queryHeader(request, info, name == nullptr ? WINHTTP_HEADER_NAME_BY_INDEX : name);
    return value ? narrowUnits(*value) : std::string();
}

// Errors of the sending step that mean no connection was made: nothing reached the app.
bool isConnectFailure(DWORD error) {
    return error == ERROR_WINHTTP_CANNOT_CONNECT || error == ERROR_WINHTTP_NAME_NOT_RESOLVED ||
           error == ERROR_WINHTTP_TIMEOUT;
}

// A body cut short of its announced length is no complete response.
bool bodyIsComplete(HINTERNET request, std::int32_t status, std::size_t received) {
    if (status < 200 || status == 204 || status == 304) return true;
    if (queryHeader(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX)) {
        return true;
    }
    const std::optional<std::wstring> length =
        queryHeader(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX);
    if (!length) return true;
    std::uint64_t expected = 0;
    for (const wchar_t c : *length) {
        if (c < L'0' || c > L'9') return true;
        expected = expected * 10 + static_cast<std::uint64_t>(c - L'0');
        if (expected > std::numeric_limits<std::uint32_t>::max()) return true;
    }
    return received >= expected;
}

// The request handle, which a stop from another thread may close while an exchange waits on it.
class StoppableRequest {
  public:
    explicit StoppableRequest(HINTERNET opened) : handle(opened) {}
    ~StoppableRequest() { close(); }
    StoppableRequest(const StoppableRequest&) = delete;
    StoppableRequest& operator=(const StoppableRequest&) = delete;
    explicit operator bool() const { return handle != nullptr; }
    HINTERNET get() const { return handle; }
    void close() {
        const std::lock_guard<std::mutex> lock(mutex);
        if (handle != nullptr) ::WinHttpCloseHandle(handle);
        handle = nullptr;
    }

  private:
    std::mutex mutex;
    HINTERNET handle;
};

const wchar_t* verb(HttpRequest::Method method) {
    switch (method) {
        case HttpRequest::Method::Post:
            return L"POST";
        case HttpRequest::Method::Get:
            return L"GET";
        case HttpRequest::Method::Delete:
            break;
    }
    return L"DELETE";
}

// Detaches the stop from the exchange however the exchange ends.
struct StopAttachment {
    ExchangeStop* stop;
    ~StopAttachment() {
        if (stop != nullptr) stop->detach();
    }
};

class WinHttpClient final : public HttpClient {
  public:
    HttpOutcome perform(const HttpRequest& request, HttpSink& sink, ExchangeStop* stop) override;
};

HttpOutcome WinHttpClient::perform(const HttpRequest& request, HttpSink& sink, ExchangeStop* stop) {
    const std::optional<std::wstring> path = pathText(request.path);
    if (!path || request.port < 1 || request.port > 65535) return HttpOutcome::NoConnection;
    const bool post = request.method == HttpRequest::Method::Post;
    if (request.body.size() > std::numeric_limits<DWORD>::max()) return HttpOutcome::NoConnection;

    const Handle session(::WinHttpOpen(L"mcp-bridge", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return HttpOutcome::NoConnection;
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    ::WinHttpSetOption(session.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy,
                       sizeof redirectPolicy);

    const Handle connection(::WinHttpConnect(session.get(), widenBytes(request.host).c_str(),
                                             static_cast<INTERNET_PORT>(request.port), 0));
    if (!connection) return HttpOutcome::NoConnection;
    StoppableRequest exchange(::WinHttpOpenRequest(connection.get(), verb(request.method),
                                                   path->c_str(), nullptr, WINHTTP_NO_REFERER,
                                                   WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!exchange) return HttpOutcome::NoConnection;

    DWORD disabled = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_KEEP_ALIVE;
    ::WinHttpSetOption(exchange.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);
    const int readTimeoutMs = static_cast<int>(
        std::clamp<std::int64_t>(request.readTimeoutMs, 1, std::numeric_limits<int>::max()));
    if (!::WinHttpSetTimeouts(exchange.get(), 0, static_cast<int>(kConnectTimeoutMs),
                              static_cast<int>(kSendTimeoutMs), readTimeoutMs)) {
        return HttpOutcome::NoConnection;
    }
    // The wait for the response headers has a limit of its own.
    DWORD headerTimeoutMs = static_cast<DWORD>(readTimeoutMs);
    ::WinHttpSetOption(exchange.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headerTimeoutMs,
                       sizeof headerTimeoutMs);

    std::wstring headers;
    for (const auto& [name, value] : request.headers) {
        const std::wstring line = widenBytes(name) + L": " + widenBytes(value);
        if (name == "Host") {
            // In place of the one WinHTTP makes from the server name.
            ::WinHttpAddRequestHeaders(exchange.get(), line.c_str(),
                                       static_cast<DWORD>(line.size()),
                                       WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE);
            continue;
        }
        headers += line + L"\r\n";
    }
    if (post) headers += L"Content-Type: application/json\r\n";

    if (stop != nullptr) stop->attach([&exchange] { exchange.close(); });
    const StopAttachment attachment{stop};
    const auto stopped = [stop] { return stop != nullptr && stop->requested(); };
    if (stopped()) return HttpOutcome::Stopped;

    const DWORD bodySize = static_cast<DWORD>(request.body.size());
    void* body =
        post && bodySize > 0 ? const_cast<char*>(request.body.data()) : WINHTTP_NO_REQUEST_DATA;
    if (!::WinHttpSendRequest(exchange.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                              body, post ? bodySize : 0, post ? bodySize : 0, 0)) {
        const DWORD error = ::GetLastError();
        if (stopped()) return HttpOutcome::Stopped;
        return isConnectFailure(error) ? HttpOutcome::NoConnection : HttpOutcome::Broken;
    }
    if (!::WinHttpReceiveResponse(exchange.get(), nullptr)) {
        return stopped() ? HttpOutcome::Stopped : HttpOutcome::Broken;
    }

    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!::WinHttpQueryHeaders(
            exchange.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
            WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
        return stopped() ? HttpOutcome::Stopped : HttpOutcome::Broken;
    }
    HttpHead head;
    head.status = static_cast<std::int32_t>(status);
    head.contentType = headerText(exchange.get(), WINHTTP_QUERY_CONTENT_TYPE);
    head.sessionId = headerText(exchange.get(), WINHTTP_QUERY_CUSTOM, L"Mcp-Session-Id");
    head.contentEncoding = headerText(exchange.get(), WINHTTP_QUERY_CONTENT_ENCODING);
    if (!sink.onHead(head)) return HttpOutcome::Stopped;

    std::size_t received = 0;
    char chunk[65536];
    for (;;) {
        // Asking what is there first keeps the read from waiting to fill the whole buffer.
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(exchange.get(), &available)) {
            return stopped() ? HttpOutcome::Stopped : HttpOutcome::Broken;
        }
        DWORD got = 0;
        const DWORD wanted = std::clamp<DWORD>(available, 1, sizeof chunk);
        if (!::WinHttpReadData(exchange.get(), chunk, wanted, &got)) {
            return stopped() ? HttpOutcome::Stopped : HttpOutcome::Broken;
        }
        if (got == 0) break;
        received += got;
        if (!sink.onBody(std::string_view(chunk, got))) return HttpOutcome::Stopped;
    }
    if (stopped()) return HttpOutcome::Stopped;
    return bodyIsComplete(exchange.get(), head.status, received) ? HttpOutcome::Complete
                                                                 : HttpOutcome::Broken;
}

}  // namespace

HttpClient& systemHttpClient() {
    static WinHttpClient client;
    return client;
}
