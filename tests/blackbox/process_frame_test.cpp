// The process frame seen from outside: input framing, output lines, the end of the run.
#include <gtest/gtest.h>

#include "bridge_fixture.h"

using namespace testing_support;

namespace {

class ProcessFrame : public BridgeFixture {};

TEST_F(ProcessFrame, AnswersPingOfflineAndExitsWithZero) {
    const BridgeRun result = run(R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n");
    EXPECT_EQ(result.exitCode, 0);
    ASSERT_EQ(result.out.size(), 1u);
    EXPECT_EQ(result.out[0], R"({"jsonrpc":"2.0","id":1,"result":{}})");
}

}  // namespace
