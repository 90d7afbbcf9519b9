// Black-box tests against the fake app: the bridge running over pipes, the app on 127.0.0.1, and
// helpers for the lines that pass between them.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bridge_fixture.h"
#include "fake_app.h"

namespace testing_support {

extern const char* const kListChanged;
// The bridge's own failure lines on standard error.
extern const std::vector<std::string> kFailureLines;

// Requests as the host writes them.
std::string toolCall(const std::string& idText, const std::string& tool = "echo");
std::string request(const std::string& idText, const std::string& method);
std::string cancelled(const std::string& requestIdText);

// Replies as the host should read them.
std::string appToolResult(const std::string& idText, const std::string& tool = "echo");
std::string offlineToolResult(const std::string& idText);
std::string offlineError(const std::string& idText);
std::string errorLine(const std::string& idText, int code, const std::string& message);
std::string noReplyError(const std::string& idText);

// How many replies (array members included) among `lines` carry this id text.
std::size_t countReplies(const std::vector<std::string>& lines, const std::string& idText);

// Names the cases of a parameterised test after their `name` member.
struct CaseName {
    template <class T>
    std::string operator()(const ::testing::TestParamInfo<T>& param) const {
        return param.param.name;
    }
};

class AppFixture : public BridgeFixture {
  protected:
    void SetUp() override;

    // Writes the configuration (with `extra` members) and starts the bridge, with `environment`
    // added to the inherited one.
    ChildProcess& startBridge(const std::string& extra = {},
                              const std::map<std::string, std::string>& environment = {});
    void send(const std::string& line);
    // The next output line; empty (and a test failure) when none came in time.
    std::string next(std::chrono::milliseconds timeout = 5s);
    // Reads lines until `expected` comes; false when it did not come in time.
    bool awaitLine(const std::string& expected, std::chrono::milliseconds timeout = 5s);
    // Waits until standard error holds at least `count` lines.
    bool awaitStderrLines(std::size_t count, std::chrono::milliseconds timeout = 5s);
    // Closes the input, expects the bridge to end with exit code 0, and returns the lines that
    // were not read yet.
    std::vector<std::string> finish();
    // Every id in `ids` got exactly one reply over the run, as far as it has been read.
    void expectOneReplyEach(const std::vector<std::string>& ids) const;
    // Waits a little and checks that the app received no further request.
    void expectNoNewRequest(std::size_t knownCount, std::chrono::milliseconds quiet = 300ms);
    // Reads until every id has a reply or the time is up.
    void readRepliesTo(const std::vector<std::string>& ids, std::chrono::milliseconds timeout);
    // Every line read is JSON and every id has exactly one reply; adds to the run's tally.
    void auditReplies(const std::vector<std::string>& ids, std::size_t faults);
    // Standard error holds only the bridge's own failure lines.
    void expectOnlyFailureLines();

    std::unique_ptr<FakeApp> app;
    std::vector<std::string> received;  // every output line read so far
};

}  // namespace testing_support
