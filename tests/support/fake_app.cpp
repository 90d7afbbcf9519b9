#include "fake_app.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "bridge_process.h"

namespace testing_support {

namespace {

constexpr char kDefaultInitializeResult[] =
    R"({"protocolVersion":"2025-06-18","capabilities":{"tools":{"listChanged":true}},)"
    R"("serverInfo":{"name":"fake-app","version":"2.0.0"}})";

// Bounds every wait of a held reply, so a forgotten gate can't hang a test run.
constexpr auto kLongestHold = 60s;

std::string compact(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string resultReply(const std::string& idText, const std::string& result) {
    return R"({"jsonrpc":"2.0","id":)" + idText + R"(,"result":)" + result + "}";
}

std::string errorReply(const std::string& idText, int code, const std::string& message) {
    return R"({"jsonrpc":"2.0","id":)" + idText + R"(,"error":{"code":)" + std::to_string(code) +
           R"(,"message":")" + message + R"("}})";
}

sockaddr_in loopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

// The library listens with a backlog of 5, too short for a burst of connections from a host that
// sends many messages at once; a second listen() on the socket widens it.
class WideBacklogServer : public httplib::Server {
  public:
    void widenBacklog() { ::listen(svr_sock_, 1024); }
};

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) return value;
    }
    return std::nullopt;
}

void Gate::open() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        isOpen = true;
    }
    opened.notify_all();
}

bool Gate::waitOpen(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return opened.wait_for(lock, timeout, [this] { return isOpen; });
}

ScriptedReply ScriptedReply::json(std::string body, int status) {
    ScriptedReply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

ScriptedReply ScriptedReply::events(std::string body, int status) {
    ScriptedReply reply = json(std::move(body), status);
    reply.contentType = "text/event-stream";
    return reply;
}

ScriptedReply ScriptedReply::empty(int status) {
    return json(std::string(), status);
}

ScriptedReply ScriptedReply::streamed(std::vector<std::string> chunks) {
    ScriptedReply reply = events(std::string());
    reply.chunks = std::move(chunks);
    return reply;
}

ScriptedReply ScriptedReply::droppedConnection() {
    ScriptedReply reply;
    reply.dropConnection = true;
    return reply;
}

void StreamFeed::send(std::string chunk) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        chunks.push_back(std::move(chunk));
    }
    changed.notify_all();
}

void StreamFeed::close(bool breakIt) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!closed) breakAtEnd = breakIt;
        closed = true;
    }
    changed.notify_all();
}

bool StreamFeed::next(std::string& chunk) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, 200ms, [this] { return closed || !chunks.empty(); })) {
        // A comment, which a client ignores: writing it finds out whether the client is still
        // there.
        chunk = ":\n";
        return std::chrono::steady_clock::now() < created + kLongestHold;
    }
    if (chunks.empty()) return false;
    chunk = std::move(chunks.front());
    chunks.pop_front();
    return true;
}

void StreamFeed::noteGone() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        gone = true;
    }
    changed.notify_all();
}

bool StreamFeed::waitGone(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [this] { return gone; });
}

bool StreamFeed::breaks() const {
    const std::lock_guard<std::mutex> lock(mutex);
    return breakAtEnd;
}

ScriptedReply StreamFeed::reply(const std::shared_ptr<StreamFeed>& feed) {
    ScriptedReply reply = ScriptedReply::events(std::string());
    reply.feed = feed;
    return reply;
}

std::string discoveryJson(const std::string& url, const std::string& token,
                          std::optional<std::int64_t> pid) {
    std::string text = R"({"url":")" + url + R"(","authToken":")" + token + "\"";
    if (pid) text += R"(,"pid":)" + std::to_string(*pid);
    return text + "}";
}

std::string loopbackUrl(int port, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

FakeApp::FakeApp(std::filesystem::path discoveryFileIn, std::string token, std::int64_t pid)
    : discoveryFile(std::move(discoveryFileIn)),
      server(std::make_unique<WideBacklogServer>()),
      acceptedToken(std::move(token)),
      publishedPid(pid),
      initializeResult(kDefaultInitializeResult) {
    // Enough handler threads for held replies plus the requests that go on meanwhile.
    server->new_task_queue = [] { return new httplib::ThreadPool(16); };
    const auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        serve(req, res);
    };
    server->Post(".*", handler);
    server->Get(".*", handler);
    server->Delete(".*", handler);
    listenPort = server->bind_to_any_port("127.0.0.1");
    if (listenPort <= 0) throw std::runtime_error("the fake app cannot listen on 127.0.0.1");
    static_cast<WideBacklogServer&>(*server).widenBacklog();
    serverThread = std::thread([this] { server->listen_after_bind(); });
    for (int i = 0; i < 500 && !server->is_running(); ++i) {
        std::this_thread::sleep_for(2ms);
    }
    publish();
}

FakeApp::~FakeApp() {
    stop();
    std::error_code ignored;
    std::filesystem::remove(discoveryFile, ignored);
}

void FakeApp::stop() {
    std::vector<std::shared_ptr<Gate>> gates;
    {
        // Replies held from here on are let go at once.
        const std::lock_guard<std::mutex> lock(mutex);
        closing = true;
        gates = gatesInUse;
    }
    for (const auto& gate : gates) {
        gate->open();
    }
    std::vector<std::shared_ptr<StreamFeed>> openFeeds;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        openFeeds = feeds;
    }
    for (const auto& feed : openFeeds) {
        feed->close(true);
    }
    server->stop();
    if (serverThread.joinable()) serverThread.join();
}

std::string FakeApp::token() const {
    const std::lock_guard<std::mutex> lock(mutex);
    return acceptedToken;
}

void FakeApp::publish() {
    std::string token;
    std::int64_t pid = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        token = acceptedToken;
        pid = publishedPid;
    }
    publishAs(url(), token, pid);
}

void FakeApp::publishAs(const std::string& address, const std::string& token,
                        std::optional<std::int64_t> pid) {
    publishText(discoveryJson(address, token, pid));
}

void FakeApp::publishText(const std::string& text) {
    writeFile(discoveryFile, text);
}

void FakeApp::publishHalfWritten() {
    std::int64_t pid = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        pid = publishedPid;
    }
    const std::string whole = discoveryJson(url(), token(), pid);
    publishText(whole.substr(0, whole.size() / 2));
}

void FakeApp::unpublish() {
    std::error_code ignored;
    std::filesystem::remove(discoveryFile, ignored);
}

void FakeApp::setToken(std::string token) {
    const std::lock_guard<std::mutex> lock(mutex);
    acceptedToken = std::move(token);
}

void FakeApp::setPid(std::int64_t pid) {
    const std::lock_guard<std::mutex> lock(mutex);
    publishedPid = pid;
}

void FakeApp::forgetSessions() {
    const std::lock_guard<std::mutex> lock(mutex);
    liveSessions.clear();
}

void FakeApp::setTools(std::string toolsJson) {
    const std::lock_guard<std::mutex> lock(mutex);
    tools = std::move(toolsJson);
    toolPages.clear();
}

void FakeApp::setToolPages(std::vector<std::string> pagesJson) {
    const std::lock_guard<std::mutex> lock(mutex);
    toolPages = std::move(pagesJson);
}

std::string FakeApp::toolListReply(const std::string& idText,
                                   const rapidjson::Value& message) const {
    if (toolPages.empty()) return resultReply(idText, R"({"tools":)" + tools + "}");
    std::size_t page = 0;
    const auto params = message.FindMember("params");
    if (params != message.MemberEnd() && params->value.IsObject()) {
        const auto cursor = params->value.FindMember("cursor");
        if (cursor != params->value.MemberEnd()) {
            page = toolPages.size();
            for (std::size_t i = 1; i < toolPages.size(); ++i) {
                if (cursor->value.IsString() &&
                    cursor->value.GetString() == "page-" + std::to_string(i + 1)) {
                    page = i;
                }
            }
            if (page == toolPages.size()) return errorReply(idText, -32602, "Unknown cursor");
        }
    }
    std::string result = R"({"tools":)" + toolPages[page];
    if (page + 1 < toolPages.size()) {
        result += R"(,"nextCursor":"page-)" + std::to_string(page + 2) + "\"";
    }
    return resultReply(idText, result + "}");
}

void FakeApp::setInitializeResult(std::string result) {
    const std::lock_guard<std::mutex> lock(mutex);
    initializeResult = std::move(result);
}

void FakeApp::setIssueSessionIds(bool issue) {
    const std::lock_guard<std::mutex> lock(mutex);
    issueSessionIds = issue;
}

void FakeApp::on(Matcher matcher, Responder responder, int times) {
    const std::lock_guard<std::mutex> lock(mutex);
    rules.push_back(Rule{std::move(matcher), std::move(responder), times});
}

void FakeApp::on(const std::string& rpcMethod, ScriptedReply reply, int times) {
    on([rpcMethod](const RecordedRequest& request) { return request.rpcMethod == rpcMethod; },
       [reply](const RecordedRequest&) { return reply; }, times);
}

void FakeApp::hold(const std::string& rpcMethod, std::shared_ptr<Gate> gate, int times) {
    on([rpcMethod](const RecordedRequest& request) { return request.rpcMethod == rpcMethod; },
       [this, gate](const RecordedRequest& request) {
           ScriptedReply reply = defaultReply(request);
           reply.gate = gate;
           return reply;
       },
       times);
}

void FakeApp::serve(const httplib::Request& req, httplib::Response& res) {
    RecordedRequest request;
    request.arrival = std::chrono::steady_clock::now();
    request.httpMethod = req.method;
    request.remotePort = req.remote_port;
    request.target = req.target;
    for (const auto& [name, value] : req.headers) {
        request.headers.emplace_back(name, value);
    }
    request.body = req.body;
    rapidjson::Document document;
    document.Parse(req.body.c_str(), req.body.size());
    if (!document.HasParseError() && document.IsArray()) request.rpcMethod = "batch";
    if (!document.HasParseError() && document.IsObject()) {
        const auto method = document.FindMember("method");
        if (method != document.MemberEnd() && method->value.IsString()) {
            request.rpcMethod = method->value.GetString();
        }
        const auto id = document.FindMember("id");
        if (id != document.MemberEnd()) request.idText = compact(id->value);
    }
    {
        const std::lock_guard<std::mutex> lock(mutex);
        std::vector<RecordedRequest>& into = req.method == "GET" ? streamLog : log;
        request.index = into.size();
        into.push_back(request);
    }
    arrived.notify_all();

    const ScriptedReply reply = answer(request);
    bool wait = false;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        // A session id handed out, by default or by a script, is known from now on.
        for (const auto& [name, value] : reply.headers) {
            if (equalsIgnoringCase(name, "Mcp-Session-Id")) liveSessions.push_back(value);
        }
        if (reply.gate && !closing) {
            gatesInUse.push_back(reply.gate);
            wait = true;
        }
    }
    if (wait) reply.gate->waitOpen(kLongestHold);
    if (reply.delay.count() > 0) std::this_thread::sleep_for(reply.delay);

    res.status = reply.status;
    for (const auto& [name, value] : reply.headers) {
        res.set_header(name, value);
    }
    if (reply.dropConnection || !reply.chunks.empty() || reply.moreChunks || reply.feed) {
        res.set_chunked_content_provider(
            reply.contentType, [reply](std::size_t, httplib::DataSink& sink) {
                for (const std::string& chunk : reply.chunks) {
                    std::this_thread::sleep_for(reply.chunkPause);
                    if (!sink.write(chunk.data(), chunk.size())) return false;
                }
                std::string chunk;
                while (reply.moreChunks && reply.moreChunks(chunk)) {
                    if (!sink.write(chunk.data(), chunk.size())) return false;
                }
                while (reply.feed && reply.feed->next(chunk)) {
                    if (!sink.write(chunk.data(), chunk.size())) {
                        reply.feed->noteGone();
                        return false;
                    }
                }
                if (reply.dropConnection || (reply.feed && reply.feed->breaks())) return false;
                sink.done();
                return true;
            });
    } else if (!reply.body.empty()) {
        res.set_content(reply.body, reply.contentType);
    }
}

ScriptedReply FakeApp::answer(const RecordedRequest& request) {
    const bool stream = request.httpMethod == "GET";
    Responder responder;
    bool authorized = false;
    bool knownSession = true;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        for (Rule& rule : stream ? streamRules : rules) {
            if (rule.timesLeft != 0 && rule.matcher(request)) {
                if (rule.timesLeft > 0) --rule.timesLeft;
                responder = rule.responder;
                break;
            }
        }
        // The server trims header values, so an empty token arrives as "Bearer".
        std::string expected = "Bearer " + acceptedToken;
        while (!expected.empty() && expected.back() == ' ') {
            expected.pop_back();
        }
        authorized = request.header("Authorization") == expected;
        if (const auto session = request.header("Mcp-Session-Id")) {
            knownSession =
                std::find(liveSessions.begin(), liveSessions.end(), *session) != liveSessions.end();
        }
    }
    if (responder) return responder(request);
    if (!authorized) return ScriptedReply::empty(401);
    if (!knownSession) return ScriptedReply::empty(404);
    return stream ? ScriptedReply::empty(405) : defaultReply(request);
}

ScriptedReply FakeApp::defaultReply(const RecordedRequest& request) {
    if (request.httpMethod == "DELETE") {
        const std::lock_guard<std::mutex> lock(mutex);
        std::erase(liveSessions, request.header("Mcp-Session-Id").value_or(""));
        return ScriptedReply::empty(200);
    }
    rapidjson::Document document;
    document.Parse(request.body.c_str(), request.body.size());
    if (document.HasParseError()) {
        return ScriptedReply::json(errorReply("null", -32700, "Parse error"), 400);
    }
    std::optional<std::string> text;
    if (document.IsArray()) {
        std::string joined;
        for (const auto& element : document.GetArray()) {
            if (const auto one = replyToObject(compact(element))) {
                joined += (joined.empty() ? "" : ",") + *one;
            }
        }
        if (!joined.empty()) text = "[" + joined + "]";
    } else {
        text = replyToObject(request.body);
    }
    ScriptedReply reply = text ? ScriptedReply::json(*text) : ScriptedReply::empty(202);
    if (request.rpcMethod == "initialize") {
        const std::lock_guard<std::mutex> lock(mutex);
        if (issueSessionIds) {
            reply.headers.emplace_back("Mcp-Session-Id",
                                       "session-" + std::to_string(++sessionsIssued));
        }
    }
    return reply;
}

std::optional<std::string> FakeApp::replyToObject(const std::string& objectText) {
    rapidjson::Document message;
    message.Parse(objectText.c_str(), objectText.size());
    if (message.HasParseError() || !message.IsObject()) {
        return errorReply("null", -32600, "Invalid Request");
    }
    const auto id = message.FindMember("id");
    if (id == message.MemberEnd() || message.HasMember("result") || message.HasMember("error")) {
        return std::nullopt;  // a notification or a response: nothing to answer
    }
    const std::string idText = compact(id->value);
    const auto methodMember = message.FindMember("method");
    const std::string method = methodMember != message.MemberEnd() && methodMember->value.IsString()
                                   ? methodMember->value.GetString()
                                   : "";
    const std::lock_guard<std::mutex> lock(mutex);
    if (method == "initialize") return resultReply(idText, initializeResult);
    if (method == "tools/list") return toolListReply(idText, message);
    if (method == "ping") return resultReply(idText, "{}");
    if (method == "tools/call") {
        const auto params = message.FindMember("params");
        const std::string echoed = params != message.MemberEnd() ? compact(params->value) : "null";
        return resultReply(
            idText, R"({"content":[{"type":"text","text":"done"}],"params":)" + echoed + "}");
    }
    return errorReply(idText, -32601, "Method not found");
}

void FakeApp::onStream(Matcher matcher, Responder responder, int times) {
    const std::lock_guard<std::mutex> lock(mutex);
    streamRules.push_back(Rule{std::move(matcher), std::move(responder), times});
}

void FakeApp::onStream(Responder responder, int times) {
    onStream([](const RecordedRequest&) { return true; }, std::move(responder), times);
}

std::shared_ptr<StreamFeed> FakeApp::newFeed() {
    auto feed = std::make_shared<StreamFeed>();
    bool stopped = false;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        feeds.push_back(feed);
        stopped = closing;
    }
    if (stopped) feed->close(true);
    return feed;
}

std::vector<RecordedRequest> FakeApp::streamRequests() const {
    const std::lock_guard<std::mutex> lock(mutex);
    return streamLog;
}

bool FakeApp::waitForStreamRequests(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, timeout, [&] { return streamLog.size() >= count; });
}

std::vector<RecordedRequest> FakeApp::requests() const {
    const std::lock_guard<std::mutex> lock(mutex);
    return log;
}

std::vector<RecordedRequest> FakeApp::requests(const std::string& rpcMethod) const {
    std::vector<RecordedRequest> found;
    for (const RecordedRequest& request : requests()) {
        if (request.rpcMethod == rpcMethod) found.push_back(request);
    }
    return found;
}

bool FakeApp::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, timeout, [&] { return log.size() >= count; });
}

bool FakeApp::waitForRequests(const std::string& rpcMethod, std::size_t count,
                              std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(
                   std::count_if(log.begin(), log.end(), [&](const RecordedRequest& request) {
                       return request.rpcMethod == rpcMethod;
                   })) >= count;
    });
}

ClosingListener::ClosingListener(int port) {
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0) throw std::runtime_error("socket failed");
    // Taking over the port of a stopped server needs the reuse options that server had set.
    const int on = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    const sockaddr_in address = loopbackAddress(port);
    if (::bind(listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd, 128) != 0) {
        ::close(listenFd);
        throw std::runtime_error("the closing listener cannot listen on 127.0.0.1: " +
                                 std::string(std::strerror(errno)));
    }
    listenPort = boundPort(listenFd);
    thread = std::thread([this] { run(); });
}

ClosingListener::~ClosingListener() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    thread.join();
    ::close(listenFd);
}

void ClosingListener::run() {
    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (stopping) return;
        }
        pollfd waiting{listenFd, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0) continue;
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            ++acceptedCount;
        }
        changed.notify_all();
        // Read the whole request (headers and announced body), so that closing sends a plain end
        // of stream rather than a reset.
        std::string received;
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::size_t headerEnd = received.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                std::size_t length = 0;
                std::string lower = received.substr(0, headerEnd);
                std::transform(lower.begin(), lower.end(), lower.begin(),
                               [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
                if (const std::size_t at = lower.find("content-length:"); at != std::string::npos) {
                    length = std::stoul(lower.substr(at + 15));
                }
                if (received.size() >= headerEnd + 4 + length) break;
            }
            pollfd reading{fd, POLLIN, 0};
            if (::poll(&reading, 1, 50) <= 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0) break;
            received.append(buffer, static_cast<std::size_t>(got));
        }
        {
            const std::lock_guard<std::mutex> lock(mutex);
            raw.push_back(received);
        }
        ::close(fd);
    }
}

std::size_t ClosingListener::accepted() const {
    const std::lock_guard<std::mutex> lock(mutex);
    return acceptedCount;
}

std::vector<std::string> ClosingListener::rawRequests() const {
    const std::lock_guard<std::mutex> lock(mutex);
    return raw;
}

bool ClosingListener::waitForAccepted(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return acceptedCount >= count; });
}

int portWithoutListener() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    const sockaddr_in address = loopbackAddress(0);
    int port = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        port = boundPort(fd);
    }
    ::close(fd);
    if (port == 0) throw std::runtime_error("no free port on 127.0.0.1");
    return port;
}

}  // namespace testing_support
