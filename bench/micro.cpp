// MoorwinchBench: the CPU parts of an exchange on their own (envelope check,
// record parsers, reports, encoders), each beside a bare JSON parse of the same
// text, and the whole status exchange against a pseudo-terminal station in this
// process. Google Benchmark; figures only, no pass or fail.
#include <benchmark/benchmark.h>

#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "MoorwinchImpl.h"
#include "PtyStation.h"
#include "StationModel.h"

namespace {

using KORVANE::Moorwinch;
using moorwinch_sim::PtyStation;
using moorwinch_sim::StationModel;

constexpr unsigned short replyId = 4242;

// The station model's reply to one query, as it comes off the line.
std::string replyTo(const char* command) {
    static StationModel model;
    const std::string request =
        "{\"COM\":{\"MSG_ID\":" + std::to_string(replyId) + "},\"COMMAND\":{\"" + command + "\":1}}";
    return model.respond(request);
}

const std::string& statusReply() {
    static const std::string text = replyTo("GET_SYSTEM_STATUS");
    return text;
}
const std::string& detailsReply() {
    static const std::string text = replyTo("GET_SYSTEM_DETAILS");
    return text;
}
const std::string& configReply() {
    static const std::string text = replyTo("GET_SYSTEM_CONFIG");
    return text;
}

void BareParse(benchmark::State& state, const std::string& text) {
    for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK_CAPTURE(BareParse, status, statusReply());
BENCHMARK_CAPTURE(BareParse, details, detailsReply());
BENCHMARK_CAPTURE(BareParse, config, configReply());

void CheckReply(benchmark::State& state) {
    Moorwinch::MoorwinchImpl impl;
    std::string text = statusReply();
    for (auto _ : state) impl.checkReply(text, replyId);
}
BENCHMARK(CheckReply);

void StatusParser(benchmark::State& state) {
    Moorwinch::MoorwinchImpl impl;
    std::string text = statusReply();
    Moorwinch::systemStatus status;
    for (auto _ : state) impl.processStatusData(text, status);
}
BENCHMARK(StatusParser);

void DetailsParser(benchmark::State& state) {
    Moorwinch::MoorwinchImpl impl;
    std::string text = detailsReply();
    Moorwinch::systemDetails details;
    for (auto _ : state) impl.processSystemDetails(text, details);
}
BENCHMARK(DetailsParser);

void ConfigParser(benchmark::State& state) {
    Moorwinch::MoorwinchImpl impl;
    std::string text = configReply();
    Moorwinch::systemConfig config;
    for (auto _ : state) impl.processSystemConfig(text, config);
}
BENCHMARK(ConfigParser);

void fill(Moorwinch::MoorwinchImpl& impl, std::string text, Moorwinch::systemStatus& r) {
    impl.processStatusData(text, r);
}
void fill(Moorwinch::MoorwinchImpl& impl, std::string text, Moorwinch::systemDetails& r) {
    impl.processSystemDetails(text, r);
}
void fill(Moorwinch::MoorwinchImpl& impl, std::string text, Moorwinch::systemConfig& r) {
    impl.processSystemConfig(text, r);
}

template <class Record>
void report(benchmark::State& state, const std::string& text) {
    Moorwinch::MoorwinchImpl impl;
    Record record;
    fill(impl, text, record);
    for (auto _ : state) {
        std::ostringstream out;
        impl.print(record, out);
        benchmark::DoNotOptimize(out.str());
    }
}
void StatusReport(benchmark::State& state) { report<Moorwinch::systemStatus>(state, statusReply()); }
void DetailsReport(benchmark::State& state) { report<Moorwinch::systemDetails>(state, detailsReply()); }
void ConfigReport(benchmark::State& state) { report<Moorwinch::systemConfig>(state, configReply()); }
BENCHMARK(StatusReport);
BENCHMARK(DetailsReport);
BENCHMARK(ConfigReport);

// The encoders as the station uses them: one whole status reply.
void Encoders(benchmark::State& state) {
    statusReply();  // the model has filled the tables
    static char text[16384];
    for (auto _ : state) {
        text[0] = '\0';
        mw_communication_json(text);
        jsonDelimiter(text);
        mw_sys_status_json(text);
        mw_complete_json(text);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(Encoders);

// One whole status query through the public class, against the station model
// answering on a pseudo-terminal from its own thread.
void StatusExchange(benchmark::State& state) {
    PtyStation station;
    StationModel model;
    model.attach(station);
    Moorwinch winch;
    winch.openConnection(station.devicePath());
    Moorwinch::systemStatus status;
    for (auto _ : state) winch.getSystemStatus(status);
}
BENCHMARK(StatusExchange)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
