// Test support: a scriptable stand-in for the app, an MCP endpoint over HTTP on 127.0.0.1 that
// publishes a discovery file, answers like a small MCP server unless told otherwise, and records
// every request it receives. Also a listener that hangs up on every connection, and a free port.
#pragma once

#include <rapidjson/fwd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace testing_support {

using namespace std::chrono_literals;

// One HTTP request as the app received it.
struct RecordedRequest {
    std::size_t index = 0;  // arrival order, from 0
    std::chrono::steady_clock::time_point arrival;
    std::string httpMethod;  // "POST", "DELETE", ...
    int remotePort = 0;      // the client's end of the connection
    std::string target;      // the request target: path and query
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // From the JSON body: the "method" of an object ("batch" for an array, empty otherwise), and
    // the compact text of its "id" (empty when it has none).
    std::string rpcMethod;
    std::string idText;

    // The first value of a header, names compared without regard to case.
    std::optional<std::string> header(const std::string& name) const;
};

// Holds replies back until the test opens it.
class Gate {
  public:
    void open();
    // True once open; false when `timeout` passed first.
    bool waitOpen(std::chrono::milliseconds timeout);

  private:
    std::mutex mutex;
    std::condition_variable opened;
    bool isOpen = false;
};

class StreamFeed;

// What the app sends back for one request.
struct ScriptedReply {
    int status = 200;
    std::string contentType = "application/json";  // not sent when the body is empty
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::chrono::milliseconds delay{0};  // before answering
    std::shared_ptr<Gate> gate;          // when set, the answer waits until it is opened
    // Send the status line, the headers and any chunks, then hang up mid-body.
    bool dropConnection = false;
    // When not empty: the body, sent piece by piece in chunked transfer encoding, `chunkPause`
    // apart.
    std::vector<std::string> chunks;
    std::chrono::milliseconds chunkPause{20};
    // When set: further chunks after `chunks`, as long as it yields them, without pauses.
    std::function<bool(std::string& chunk)> moreChunks;
    // When set: further chunks from the feed, as the test sends them, until it is closed.
    std::shared_ptr<StreamFeed> feed;

    static ScriptedReply json(std::string body, int status = 200);
    static ScriptedReply events(std::string body, int status = 200);
    static ScriptedReply empty(int status);
    static ScriptedReply streamed(std::vector<std::string> chunks);  // an event stream
    static ScriptedReply droppedConnection();
};

// Chunks that a test sends on an open event stream of the app whenever it likes. While nothing is
// to be sent the stream carries a comment now and then, so a client that went away is noticed.
class StreamFeed {
  public:
    void send(std::string chunk);
    // Ends the stream, or with `breakIt` hangs up without ending it.
    void close(bool breakIt = false);
    // The next chunk, waiting for one; false once the feed is closed.
    bool next(std::string& chunk);
    bool breaks() const;
    // The client went away: a write to it failed.
    void noteGone();
    bool waitGone(std::chrono::milliseconds timeout);
    // An event stream (status 200) fed from here.
    static ScriptedReply reply(const std::shared_ptr<StreamFeed>& feed);

  private:
    mutable std::mutex mutex;
    std::condition_variable changed;
    const std::chrono::steady_clock::time_point created = std::chrono::steady_clock::now();
    std::deque<std::string> chunks;
    bool closed = false;
    bool breakAtEnd = false;
    bool gone = false;
};

// The discovery file's text for the given values; no "pid" member when `pid` is empty.
std::string discoveryJson(const std::string& url, const std::string& token,
                          std::optional<std::int64_t> pid);
// "http://127.0.0.1:<port><path>".
std::string loopbackUrl(int port, const std::string& path = "/mcp");

// Unless scripted otherwise, the app answers like a small MCP server: initialize with a result and
// a new "Mcp-Session-Id" (session-1, session-2, ...), notifications and responses with 202 and no
// body, tools/list with its tools, tools/call with a result that echoes the params, ping with {},
// other requests with -32601, a batch with the array of its answers. A wrong bearer token gets
// 401, an unknown session id 404; a DELETE ends the session.
class FakeApp {
  public:
    using Matcher = std::function<bool(const RecordedRequest&)>;
    using Responder = std::function<ScriptedReply(const RecordedRequest&)>;

    // Starts listening on a free port of 127.0.0.1 and publishes the discovery file.
    explicit FakeApp(std::filesystem::path discoveryFile, std::string token = "token-1",
                     std::int64_t pid = 4242);
    ~FakeApp();
    FakeApp(const FakeApp&) = delete;
    FakeApp& operator=(const FakeApp&) = delete;

    int port() const { return listenPort; }
    std::string url() const { return loopbackUrl(listenPort); }
    std::string token() const;

    // The discovery file: this app's own values, arbitrary ones, a cut-off or garbage text.
    void publish();
    void publishAs(const std::string& url, const std::string& token,
                   std::optional<std::int64_t> pid);
    void publishText(const std::string& text);
    void publishHalfWritten();
    void unpublish();

    // Identity, as after a restart: the token the app accepts and the pid it publishes. Takes
    // effect in the discovery file at the next publish().
    void setToken(std::string token);
    void setPid(std::int64_t pid);
    // Session ids issued so far become unknown: requests carrying them get 404.
    void forgetSessions();

    // Default behaviour.
    void setTools(std::string toolsJson);  // the array that tools/list answers with
    // tools/list answers page by page: the first page without a cursor, each later one for the
    // "nextCursor" the page before it gave ("page-2", "page-3", ...); an unknown cursor gets
    // -32602. setTools goes back to one page.
    void setToolPages(std::vector<std::string> pagesJson);
    void setInitializeResult(std::string result);  // the object that initialize answers with
    void setIssueSessionIds(bool issue);           // "Mcp-Session-Id" on the initialize answer

    // Scripted replies, tried in the order added before the default behaviour: the first rule
    // whose matcher accepts the request answers it; a rule is used `times` times (-1: always).
    void on(Matcher matcher, Responder responder, int times = 1);
    void on(const std::string& rpcMethod, ScriptedReply reply, int times = 1);
    // The default reply to the next `times` requests with this method, held until `gate` opens.
    void hold(const std::string& rpcMethod, std::shared_ptr<Gate> gate, int times = 1);
    // What the app answers when no rule applies.
    ScriptedReply defaultReply(const RecordedRequest& request);

    // GET requests, the event streams a client opens without sending a message. Unless scripted
    // they are refused with 405, as by an app that offers none. They are kept apart from the
    // other requests.
    void onStream(Matcher matcher, Responder responder, int times = 1);
    void onStream(Responder responder, int times = 1);
    // A feed for a stream, closed at the latest when the app stops.
    std::shared_ptr<StreamFeed> newFeed();
    std::vector<RecordedRequest> streamRequests() const;
    bool waitForStreamRequests(std::size_t count, std::chrono::milliseconds timeout = 5s);

    // Stops listening: the port then has no listener (until someone else takes it).
    void stop();

    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requests(const std::string& rpcMethod) const;
    // Waits until at least `count` requests (with that method) have arrived.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = 5s);
    bool waitForRequests(const std::string& rpcMethod, std::size_t count,
                         std::chrono::milliseconds timeout = 5s);

  private:
    struct Rule {
        Matcher matcher;
        Responder responder;
        int timesLeft;
    };

    void serve(const httplib::Request& req, httplib::Response& res);
    ScriptedReply answer(const RecordedRequest& request);
    std::optional<std::string> replyToObject(const std::string& objectText);
    std::string toolListReply(const std::string& idText, const rapidjson::Value& message) const;

    std::filesystem::path discoveryFile;
    std::unique_ptr<httplib::Server> server;
    std::thread serverThread;
    int listenPort = 0;

    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::vector<RecordedRequest> log;
    std::vector<Rule> rules;
    std::vector<RecordedRequest> streamLog;
    std::vector<Rule> streamRules;
    std::vector<std::shared_ptr<StreamFeed>> feeds;
    std::vector<std::shared_ptr<Gate>> gatesInUse;
    bool closing = false;
    std::string acceptedToken;
    std::int64_t publishedPid;
    std::string tools = "[]";
    std::vector<std::string> toolPages;  // when not empty, tools/list answers from these
    std::string initializeResult;
    bool issueSessionIds = true;
    int sessionsIssued = 0;
    std::vector<std::string> liveSessions;
};

// Accepts connections on 127.0.0.1, reads what the client sends, and closes each connection
// without answering. Keeps the raw bytes of each request, header values untrimmed.
class ClosingListener {
  public:
    // `port` 0 takes any free port.
    explicit ClosingListener(int port = 0);
    ~ClosingListener();
    ClosingListener(const ClosingListener&) = delete;
    ClosingListener& operator=(const ClosingListener&) = delete;

    int port() const { return listenPort; }
    std::size_t accepted() const;
    std::vector<std::string> rawRequests() const;  // one per connection, once fully read
    bool waitForAccepted(std::size_t count, std::chrono::milliseconds timeout = 5s);

  private:
    void run();

    int listenFd = -1;
    int listenPort = 0;
    bool stopping = false;
    std::size_t acceptedCount = 0;
    std::vector<std::string> raw;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::thread thread;
};

// A port of 127.0.0.1 on which nothing listens: taken from the system, then released.
int portWithoutListener();

}  // namespace testing_support
