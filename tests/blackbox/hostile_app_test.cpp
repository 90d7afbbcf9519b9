// What a broken app or another local user can do to the bridge from the app's side: a compressed
// body nobody asked for, a session opening that never finishes, and a listener on [::1] at the
// app's port while the app listens on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <ostream>

#include "app_fixture.h"
#include "fault_support.h"

using namespace testing_support;

namespace {

std::string pong(const std::string& idText) {
    return R"({"jsonrpc":"2.0","id":)" + idText + R"(,"result":{}})";
}

// ---- A compressed body ---------------------------------------------------------------------

// A gzip member holding `head`, then `fillBytes` times 'x', then `tail`, made without compressing
// the fill byte by byte: after a full flush a deflate block stands on its own, so one compressed
// mebibyte of 'x' is repeated. The whole is a valid gzip stream, about a thousandth of its text.
std::string gzipWithFill(const std::string& head, std::size_t fillMiB, const std::string& tail) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_RLE) != Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    const auto deflatePart = [&zs](const std::string& in, int flush) {
        std::string out;
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        zs.avail_in = static_cast<uInt>(in.size());
        char buffer[65536];
        do {
            zs.next_out = reinterpret_cast<Bytef*>(buffer);
            zs.avail_out = sizeof buffer;
            deflate(&zs, flush);
            out.append(buffer, sizeof buffer - zs.avail_out);
        } while (zs.avail_out == 0);
        return out;
    };
    const std::string mebibyte(std::size_t{1} << 20, 'x');
    // The member's header: deflate, no name, no time, unknown system.
    std::string body("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    body.append(deflatePart(head, Z_FULL_FLUSH));
    const std::string block = deflatePart(mebibyte, Z_FULL_FLUSH);
    for (std::size_t i = 0; i < fillMiB; ++i)
        body.append(block);
    body.append(deflatePart(tail, Z_FINISH));
    deflateEnd(&zs);

    const auto crcOf = [](const std::string& text) {
        return crc32(0L, reinterpret_cast<const Bytef*>(text.data()),
                     static_cast<uInt>(text.size()));
    };
    uLong crc = crcOf(head);
    const uLong blockCrc = crcOf(mebibyte);
    for (std::size_t i = 0; i < fillMiB; ++i)
        crc = crc32_combine(crc, blockCrc, static_cast<z_off_t>(mebibyte.size()));
    crc = crc32_combine(crc, crcOf(tail), static_cast<z_off_t>(tail.size()));
    const std::uint64_t size = head.size() + fillMiB * mebibyte.size() + tail.size();
    for (int shift = 0; shift < 32; shift += 8)
        body.push_back(static_cast<char>((crc >> shift) & 0xff));
    for (int shift = 0; shift < 32; shift += 8)
        body.push_back(static_cast<char>((size >> shift) & 0xff));
    return body;
}

struct CompressedCase {
    const char* name;
    std::string contentType;
    std::string head;  // the compressed text before and after a GiB of 'x'
    std::string tail;
};
void PrintTo(const CompressedCase& c, std::ostream* os) {
    *os << c.name;
}

class CompressedBody : public AppFixture, public ::testing::WithParamInterface<CompressedCase> {};

// Peak resident memory allowed: the body would unpack to a GiB; the bridge itself needs a few MB.
constexpr long kCompressedPeakKb = kSanitizerBuild ? 1'000'000 : 200'000;

TEST_P(CompressedBody, IsAFailedExchangeAnsweredWithOneError) {
    const CompressedCase& c = GetParam();
    const std::string gzipped = gzipWithFill(c.head, 1024, c.tail);
    ScriptedReply reply;
    reply.contentType = c.contentType;
    reply.body = gzipped;
    reply.headers.emplace_back("Content-Encoding", "gzip");
    app->on("tools/call", reply);
    startBridge();
    send(toolCall("1"));
    EXPECT_EQ(
        next(30s),
        errorLine("1", -32603, "The app sent a compressed body, which the bridge did not ask for"));
    ASSERT_TRUE(awaitStderrLines(1));
    EXPECT_EQ(bridge->stderrLines(),
              std::vector<std::string>{
                  "The app sent a compressed body, which the bridge did not ask for"});
    const std::vector<RecordedRequest> calls = app->requests("tools/call");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].header("Accept-Encoding"), std::optional<std::string>("identity"));

    // The session goes on: the next call is the app's to answer.
    send(toolCall("2"));
    EXPECT_EQ(next(), appToolResult("2"));
    if (!bridgeIsWindowsBuild()) {
        // Under Wine the process figures would be Wine's.
        const std::optional<long> peakKb = procStatus(bridge->pid(), "VmHWM");
        ASSERT_TRUE(peakKb.has_value());
        EXPECT_LT(*peakKb, kCompressedPeakKb);
        std::cout << "[ FIGURES  ] gzip answer (" << c.name << "), " << gzipped.size() / 1024
                  << " KB on the wire, 1 GiB unpacked: bridge peak RSS " << *peakKb / 1024
                  << " MB\n";
    }
    EXPECT_TRUE(finish().empty());
    expectOneReplyEach({"1", "2"});
}

INSTANTIATE_TEST_SUITE_P(
    HostileApp, CompressedBody,
    ::testing::Values(CompressedCase{"Json", "application/json",
                                     R"({"jsonrpc":"2.0","id":1,"result":{"s":")", R"("}})"},
                      CompressedCase{"EventStream", "text/event-stream",
                                     R"(data: {"jsonrpc":"2.0","id":1,"result":{"s":")",
                                     "\"}}\n\n"}),
    CaseName());

// ---- A session opening that never finishes --------------------------------------------------

struct EndlessOpeningCase {
    const char* name;
    std::function<ScriptedReply(FakeApp&)> initializeReply;
};
void PrintTo(const EndlessOpeningCase& c, std::ostream* os) {
    *os << c.name;
}

class EndlessOpening : public AppFixture, public ::testing::WithParamInterface<EndlessOpeningCase> {
  protected:
    // Tries tool calls until the app answers one: each is answered offline while the bridge backs
    // off, and by the app once it has opened a session again.
    bool recovers(int firstId, int attempts) {
        for (int attempt = 0; attempt < attempts; ++attempt) {
            const std::string id = std::to_string(firstId + attempt);
            send(toolCall(id));
            const std::string reply = next();
            if (reply == appToolResult(id)) return true;
            EXPECT_EQ(reply, offlineToolResult(id));
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
};

// The whole opening is bounded by the bridge's request time (15 s); the pings wait for it at most.
constexpr auto kOpeningBound = 25s;

TEST_P(EndlessOpening, MessagesAreAnsweredOnceTheOpeningTimesOut) {
    app->on("initialize", GetParam().initializeReply(*app));
    startBridge();
    const auto started = std::chrono::steady_clock::now();
    send(request("0", "ping"));
    ASSERT_TRUE(app->waitForRequests("initialize", 1));
    std::vector<std::string> ids = {"0"};
    for (int id = 1; id <= 40; ++id) {
        ids.push_back(std::to_string(id));
        send(request(ids.back(), "ping"));
    }
    readRepliesTo(ids, kOpeningBound);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    std::size_t answered = 0;
    for (const std::string& id : ids) {
        answered += countReplies(received, id);
        EXPECT_NE(std::find(received.begin(), received.end(), pong(id)), received.end()) << id;
    }
    EXPECT_EQ(answered, ids.size());
    // Answered by the bridge: the opening failed, so nothing went to the app.
    EXPECT_TRUE(app->requests("ping").empty());
    std::cout << "[ FIGURES  ] endless opening (" << GetParam().name << "): " << answered - 1
              << " of 40 pings answered, the last after " << elapsed.count() << " ms\n";

    // Then the bridge backs off as after any failed opening, and opens a session again.
    EXPECT_TRUE(recovers(100, 60));
    EXPECT_TRUE(finish().empty());
    expectOnlyFailureLines();
    EXPECT_EQ(app->requests("initialize").size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    HostileApp, EndlessOpening,
    ::testing::Values(
        EndlessOpeningCase{"OneBytePerSecond",
                           [](FakeApp&) {
                               const std::string answer =
                                   R"({"jsonrpc":"2.0","id":0,"result":{"protocolVersion":)"
                                   R"("2025-06-18","capabilities":{},"serverInfo":)"
                                   R"({"name":"drip","version":"1"}}})";
                               ScriptedReply reply;
                               for (const char byte : answer)
                                   reply.chunks.emplace_back(1, byte);
                               reply.chunkPause = 1s;
                               return reply;
                           }},
        EndlessOpeningCase{"EventStreamOfCommentsOnly",
                           [](FakeApp& app) { return StreamFeed::reply(app.newFeed()); }}),
    CaseName());

// ---- A squatter on [::1] ---------------------------------------------------------------------

// Listens on [::1] at a given port (IPv6 only, so 127.0.0.1 stays the app's), keeps whatever a
// client sends, and hangs up.
class Ipv6Squatter {
  public:
    // 0 on success, else the errno of the failed step.
    int listenOn(int port) {
        fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return errno;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        address.sin6_port = htons(static_cast<std::uint16_t>(port));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 16) != 0) {
            return errno;
        }
        thread = std::thread([this] { run(); });
        return 0;
    }
    ~Ipv6Squatter() {
        stopping = true;
        if (thread.joinable()) thread.join();
        if (fd >= 0) ::close(fd);
    }
    std::size_t accepted() const { return acceptedCount.load(); }
    std::string received() {
        const std::lock_guard<std::mutex> lock(mutex);
        return bytes;
    }

  private:
    void run() {
        while (!stopping) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0) continue;
            const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            ++acceptedCount;
            char buffer[4096];
            for (int reads = 0; reads < 20; ++reads) {
                pollfd in{client, POLLIN, 0};
                if (::poll(&in, 1, 50) <= 0) break;
                const ssize_t got = ::read(client, buffer, sizeof buffer);
                if (got <= 0) break;
                const std::lock_guard<std::mutex> lock(mutex);
                bytes.append(buffer, static_cast<std::size_t>(got));
            }
            ::close(client);
        }
    }

    int fd = -1;
    std::atomic<bool> stopping = false;
    std::atomic<std::size_t> acceptedCount = 0;
    std::mutex mutex;
    std::string bytes;
    std::thread thread;
};

// Whether this machine's resolver gives ::1 for "localhost". Where it gives only 127.0.0.1, no
// client would reach the squatter anyway, and the test shows only that the app gets every request.
bool localhostResolvesToIpv6() {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo("localhost", "80", &hints, &found) != 0) return false;
    bool ipv6 = false;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next)
        ipv6 = ipv6 || entry->ai_family == AF_INET6;
    ::freeaddrinfo(found);
    return ipv6;
}

class LocalhostSquatter : public AppFixture {};

TEST_F(LocalhostSquatter, ListenerOnIpv6LoopbackGetsNothingWhenTheAppIsNamedLocalhost) {
    Ipv6Squatter squatter;
    const int failure = squatter.listenOn(app->port());
    if (failure == EAFNOSUPPORT || failure == EADDRNOTAVAIL) {
        GTEST_SKIP() << "this machine has no IPv6 loopback: " << std::strerror(failure);
    }
    ASSERT_EQ(failure, 0) << std::strerror(failure);
    app->publishAs("http://localhost:" + std::to_string(app->port()) + "/mcp", app->token(), 4242);
    startBridge();
    send(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{}})");
    EXPECT_NE(next().find(R"("name":"fake-app")"), std::string::npos);
    std::vector<std::string> ids = {"1"};
    for (int id = 2; id <= 6; ++id) {
        ids.push_back(std::to_string(id));
        send(toolCall(ids.back()));
        EXPECT_EQ(next(), appToolResult(ids.back()));
    }
    EXPECT_TRUE(finish().empty());
    expectOneReplyEach(ids);
    EXPECT_EQ(app->requests("tools/call").size(), 5u);
    EXPECT_EQ(squatter.accepted(), 0u);
    EXPECT_EQ(squatter.received().find(app->token()), std::string::npos);
    if (!localhostResolvesToIpv6()) {
        std::cout << "[   NOTE   ] \"localhost\" resolves to no IPv6 address on this machine: "
                     "the squatter could not have been reached\n";
    }
}

}  // namespace
