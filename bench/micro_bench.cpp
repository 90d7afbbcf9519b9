// Micro-benchmarks of the hot pure code.
#include <benchmark/benchmark.h>

#include <string>

#include "applink/http_exchange.h"
#include "bridge/depth_guard.h"
#include "bridge/offline_answers.h"
#include "jsonrpc/json.h"
#include "jsonrpc/replies.h"
#include "jsonrpc/screening.h"

namespace {

// A 1 MB line of nested objects and strings, as deep as the guard allows.
std::string megabyteLine() {
    std::string line = R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"items":[)";
    while (line.size() < (1 << 20)) {
        line +=
            R"({"name":"item","text":"some [text] with {brackets} and \"quotes\"","n":[1,2,3]},)";
    }
    line += "{}]}}";
    return line;
}

void DepthGuardOnAMegabyteLine(benchmark::State& state) {
    const std::string line = megabyteLine();
    for (auto _ : state)
        benchmark::DoNotOptimize(nestsTooDeep(line));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(DepthGuardOnAMegabyteLine);

void ScreeningABatchOf1000(benchmark::State& state) {
    std::string batch = "[";
    for (int i = 0; i < 1000; ++i) {
        if (i > 0) batch += ',';
        batch += i % 3 == 0
                     ? R"({"jsonrpc":"2.0","method":"notifications/progress"})"
                     : R"({"jsonrpc":"2.0","id":)" + std::to_string(i) + R"(,"method":"ping"})";
    }
    batch += "]";
    rapidjson::Document document;
    jsonrpc::parseJson(document, batch);
    const jsonrpc::Responder responder = [](const std::string& id, const std::string& method) {
        return composeOfflineAnswer(id, method, "\"offline\"", "[]");
    };
    for (auto _ : state)
        benchmark::DoNotOptimize(jsonrpc::screenDocument(document, batch, responder));
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(ScreeningABatchOf1000);

void SplittingAMegabyteEventStream(benchmark::State& state) {
    std::string stream;
    int id = 0;
    while (stream.size() < (1 << 20)) {
        stream +=
            "event: message\nid: " + std::to_string(id) +
            "\ndata: "
            "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/progress\",\"params\":{\"progress\":" +
            std::to_string(id) + "}}\n\n";
        ++id;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(splitEventStream(stream));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(SplittingAMegabyteEventStream);

void ToJsonTextOfALargeToolList(benchmark::State& state) {
    std::string tools = "[";
    for (int i = 0; i < 500; ++i) {
        if (i > 0) tools += ',';
        tools +=
            R"({"name":"tool)" + std::to_string(i) +
            R"(","description":"Does a thing with \"care\".","inputSchema":{"type":"object","properties":{"a":{"type":"string"},"b":{"type":"number"}},"required":["a"]}})";
    }
    tools += "]";
    rapidjson::Document document;
    jsonrpc::parseJson(document, tools);
    for (auto _ : state)
        benchmark::DoNotOptimize(jsonrpc::toJsonText(document));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * tools.size()));
}
BENCHMARK(ToJsonTextOfALargeToolList);

void AnOfflineAnswer(benchmark::State& state) {
    const std::string offline = jsonrpc::quoteJsonString("The app is not running. Start it.");
    const std::string tools = R"([{"name":"echo"}])";
    for (auto _ : state) {
        benchmark::DoNotOptimize(composeOfflineAnswer("42", "tools/call", offline, tools));
    }
}
BENCHMARK(AnOfflineAnswer);

}  // namespace

BENCHMARK_MAIN();
