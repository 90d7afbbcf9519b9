#include "fast_app.h"

#include <rapidjson/document.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>

#include "jsonrpc/replies.h"

namespace {

std::string reply(const std::string& idText, const std::string& result) {
    return R"({"jsonrpc":"2.0","id":)" + idText + R"(,"result":)" + result + "}";
}

}  // namespace

const char* FastApp::initializeResult() {
    return R"({"protocolVersion":"2025-06-18","capabilities":{"tools":{"listChanged":false}},"serverInfo":{"name":"fast-app","version":"1.0.0"}})";
}

const char* FastApp::toolsJson() {
    return R"([{"name":"echo","description":"Returns its text","inputSchema":{"type":"object","properties":{"text":{"type":"string"}}}},{"name":"add","inputSchema":{"type":"object"}}])";
}

FastApp::FastApp() {
    server.Post("/mcp", [this](const httplib::Request& request, httplib::Response& response) {
        if (request.get_header_value("Authorization") != "Bearer " + authToken) {
            response.status = 401;
            return;
        }
        rapidjson::Document message;
        message.Parse(request.body.c_str());
        if (message.HasParseError() || !message.IsObject() || !message.HasMember("method")) {
            response.status = 400;
            return;
        }
        const std::string method = message["method"].GetString();
        const auto id = message.FindMember("id");
        if (id == message.MemberEnd()) {
            response.status = 202;
            return;
        }
        const std::string idText = jsonrpc::toJsonText(id->value);
        std::string body;
        if (method == "initialize") {
            response.set_header("Mcp-Session-Id", "session-" + std::to_string(++sessions));
            body = reply(idText, initializeResult());
        } else if (method == "tools/list") {
            body = reply(idText, std::string(R"({"tools":)") + toolsJson() + "}");
        } else if (method == "tools/call" &&
                   request.body.find(R"("name":"stream")") != std::string::npos) {
            streamEvents(response, idText);
            return;
        } else if (method == "tools/call" &&
                   request.body.find(R"("name":"notify")") != std::string::npos) {
            {
                const std::lock_guard<std::mutex> lock(notifyMutex);
                ++notifyCount;
            }
            notifyRequested.notify_all();
            body = reply(idText, R"({"content":[]})");
        } else if (method == "tools/call") {
            body = reply(idText, R"({"content":[{"type":"text","text":"ok"}]})");
        } else {
            body = reply(idText, "{}");
        }
        response.set_content(body, "application/json");
    });
    server.Delete("/mcp", [](const httplib::Request&, httplib::Response& response) {
        response.status = 200;
    });
    server.Get("/mcp", [this](const httplib::Request&, httplib::Response& response) {
        if (!standingStreams) {
            response.status = 405;
            return;
        }
        standingStream(response);
    });
}

// Log messages, stamped, as often as a tool call asks for them. A comment goes out while there is
// nothing to send, so a bridge that went away frees the server's thread.
void FastApp::standingStream(httplib::Response& response) {
    long sent = 0;
    {
        const std::lock_guard<std::mutex> lock(notifyMutex);
        sent = notifyCount;
    }
    response.set_chunked_content_provider("text/event-stream", [this, sent](std::size_t,
                                                                            httplib::DataSink&
                                                                                sink) mutable {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(notifyMutex);
                if (!notifyRequested.wait_for(lock, std::chrono::milliseconds(100),
                                              [&] { return stopping || notifyCount > sent; })) {
                    lock.unlock();
                    if (!sink.write(":\n", 2)) return false;
                    continue;
                }
                if (stopping) return false;
                sent = notifyCount;
            }
            for (int i = 1; i <= kStreamEvents; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                const std::string event =
                    R"(data: {"jsonrpc":"2.0","method":"notifications/message","params":{"level":"info","data":)" +
                    std::to_string(i) + R"(,"sentNs":)" + std::to_string(nowNs()) + "}}\n\n";
                if (!sink.write(event.data(), event.size())) return false;
            }
        }
    });
}

FastApp::~FastApp() {
    stop();
}

std::int64_t FastApp::nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// An event stream of progress notifications a few milliseconds apart, each stamped with the time
// it was written, then the result.
void FastApp::streamEvents(httplib::Response& response, const std::string& idText) {
    response.set_chunked_content_provider("text/event-stream", [idText](std::size_t,
                                                                        httplib::DataSink& sink) {
        for (int i = 1; i <= kStreamEvents; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const std::string event =
                R"(data: {"jsonrpc":"2.0","method":"notifications/progress","params":{"progressToken":1,"progress":)" +
                std::to_string(i) + R"(,"sentNs":)" + std::to_string(nowNs()) + "}}\n\n";
            if (!sink.write(event.data(), event.size())) return false;
        }
        const std::string last =
            "data: " + reply(idText, R"({"content":[{"type":"text","text":"ok"}]})") + "\n\n";
        sink.write(last.data(), last.size());
        sink.done();
        return true;
    });
}

namespace {

// cpp-httplib listens with a backlog of 5, which makes a burst of new connections wait for SYN
// retries. Find the listening socket by its port and give it a deep backlog.
void deepenBacklog(int port) {
    for (int fd = 3; fd < 4096; ++fd) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
        if (address.sin_family == AF_INET && ntohs(address.sin_port) == port) {
            ::listen(fd, 4096);
            return;
        }
    }
}

}  // namespace

void FastApp::start(const std::filesystem::path& discoveryPath) {
    boundPort = server.bind_to_any_port("127.0.0.1");
    deepenBacklog(boundPort);
    thread = std::thread([this] { server.listen_after_bind(); });
    std::ofstream(discoveryPath) << R"({"url":"http://127.0.0.1:)" << boundPort
                                 << R"(/mcp","authToken":")" << authToken << R"(","pid":1})";
}

void FastApp::stop() {
    if (!thread.joinable()) return;
    {
        const std::lock_guard<std::mutex> lock(notifyMutex);
        stopping = true;
    }
    notifyRequested.notify_all();
    server.stop();
    thread.join();
}
