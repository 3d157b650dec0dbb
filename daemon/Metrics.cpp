#include "Metrics.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "Sockets.h"

namespace moorwinchd {
namespace {

using prometheus::Gauge;
using prometheus::Labels;

constexpr double unknown = std::numeric_limits<double>::quiet_NaN();

// One gauge of a status value: its family, labels, the key in the JSON mapping
// and the factor to the base unit.
struct StatusGauge {
    const char* name;
    const char* help;
    Labels labels;
    const char* key;
    double factor;
};

const std::vector<StatusGauge>& statusGauges() {
    static const std::vector<StatusGauge> table = {
        {"moorwinch_cable_length_meters", "Tether paid out", {}, "cableLength", 1},
        {"moorwinch_cable_speed_meters_per_second", "Tether speed", {}, "cableSpeed", 1},
        {"moorwinch_cable_retraction_torque_ratio", "Retraction torque setting", {}, "cableRetractionTorque", 0.01},
        {"moorwinch_mains_voltage_volts", "Mains voltage", {}, "mainsVoltage", 1},
        {"moorwinch_mains_current_amperes", "Mains current", {}, "mainsCurrent", 1},
        {"moorwinch_mains_frequency_hertz", "Mains frequency", {}, "mainsFrequency", 1},
        {"moorwinch_uav_supply_voltage_volts", "Supply voltage to the aircraft", {}, "uavSupplyVoltage", 1},
        {"moorwinch_uav_supply_current_amperes", "Supply current to the aircraft", {}, "uavSupplyCurrent", 1},
        {"moorwinch_uav_power_watts", "Power drawn by the aircraft", {}, "uavPowerConsumption", 1},
        {"moorwinch_backup_battery_voltage_volts", "Backup battery voltage", {}, "backupBatteryVoltage", 1},
        {"moorwinch_temperature_celsius", "Temperatures", {{"sensor", "1"}}, "temperature1", 1},
        {"moorwinch_temperature_celsius", "Temperatures", {{"sensor", "2"}}, "temperature2", 1},
        {"moorwinch_temperature_celsius", "Temperatures", {{"sensor", "3"}}, "temperature3", 1},
        {"moorwinch_temperature_celsius", "Temperatures", {{"sensor", "4"}}, "temperature4", 1},
        {"moorwinch_humidity_ratio", "Relative humidity", {}, "humidity1", 0.01},
        {"moorwinch_pressure_pascals", "Air pressure", {}, "pressure1", 100},
        {"moorwinch_fan_speed_rpm", "Fan speeds", {{"fan", "1"}}, "fan1Rpm", 1},
        {"moorwinch_fan_speed_rpm", "Fan speeds", {{"fan", "2"}}, "fan2Rpm", 1},
    };
    return table;
}

}  // namespace

// Computed when scraped, so that a scrape sees how old the data are even when
// the polls have stopped.
class Metrics::DataAge : public prometheus::Collectable {
public:
    void polled(double time) { lastPoll = time; }
    std::vector<prometheus::MetricFamily> Collect() const override {
        prometheus::MetricFamily family;
        family.name = "moorwinch_data_age_seconds";
        family.help = "Seconds since the last successful status poll (NaN before the first)";
        family.type = prometheus::MetricType::Gauge;
        family.metric.emplace_back();
        const double now =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        const double last = lastPoll;
        family.metric.back().gauge.value = std::isnan(last) ? unknown : std::max(now - last, 0.0);
        return {family};
    }

private:
    std::atomic<double> lastPoll{unknown};
};

class Metrics::Computed : public prometheus::Collectable {
public:
    void add(std::string name, std::string help, std::function<double()> value) {
        std::lock_guard<std::mutex> lock(mutex);
        counters.push_back({std::move(name), std::move(help), std::move(value)});
    }
    std::vector<prometheus::MetricFamily> Collect() const override {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<prometheus::MetricFamily> families;
        for (const Counter& c : counters) {
            families.emplace_back();
            families.back().name = c.name;
            families.back().help = c.help;
            families.back().type = prometheus::MetricType::Counter;
            families.back().metric.emplace_back();
            families.back().metric.back().counter.value = c.value();
        }
        return families;
    }

private:
    struct Counter {
        std::string name, help;
        std::function<double()> value;
    };
    mutable std::mutex mutex;
    std::vector<Counter> counters;
};

struct Metrics::Families {
    prometheus::Family<Gauge>* up;
    prometheus::Family<prometheus::Counter>* exchanges;
    prometheus::Family<prometheus::Histogram>* duration;
    prometheus::Counter* reconnects;
    prometheus::Counter* missed;
    Gauge* clients;
    Gauge* verdict;
    Gauge* lastPoll;
    prometheus::Family<Gauge>* info;
    prometheus::Family<prometheus::Counter>* events;
    prometheus::Family<prometheus::Counter>* eventCommands;
    Gauge* infoGauge = nullptr;
    std::vector<Gauge*> values;  // in the order of statusGauges()
};

Metrics::Metrics()
    : registry(std::make_shared<prometheus::Registry>()),
      dataAge(std::make_shared<DataAge>()),
      computed(std::make_shared<Computed>()),
      families(new Families) {
    Families& f = *families;
    f.up = &prometheus::BuildGauge().Name("moorwinch_up").Help("1 while the station answers, 0 otherwise").Register(*registry);
    f.up->Add({}).Set(0);
    f.exchanges = &prometheus::BuildCounter()
                       .Name("moorwinch_exchanges_total")
                       .Help("Exchanges with the station by operation and result")
                       .Register(*registry);
    f.duration = &prometheus::BuildHistogram()
                      .Name("moorwinch_exchange_duration_seconds")
                      .Help("Time from request to validated reply (or failure)")
                      .Register(*registry);
    f.reconnects = &prometheus::BuildCounter()
                        .Name("moorwinch_reconnects_total")
                        .Help("Connections regained after the line was lost")
                        .Register(*registry)
                        .Add({});
    f.missed = &prometheus::BuildCounter()
                    .Name("moorwinch_polls_missed_total")
                    .Help("Poll times that passed while an exchange ran")
                    .Register(*registry)
                    .Add({});
    f.clients = &prometheus::BuildGauge().Name("moorwinch_clients").Help("Connected clients").Register(*registry).Add({});
    f.verdict = &prometheus::BuildGauge()
                     .Name("moorwinch_health_verdict")
                     .Help("Health verdict of the last status: 0 ok, 1 warning, 2 error")
                     .Register(*registry)
                     .Add({});
    f.verdict->Set(unknown);
    f.lastPoll = &prometheus::BuildGauge()
                      .Name("moorwinch_last_poll_timestamp_seconds")
                      .Help("When the last status was read")
                      .Register(*registry)
                      .Add({});
    f.info = &prometheus::BuildGauge()
                  .Name("moorwinch_station_info")
                  .Help("The station's identity (value 1)")
                  .Register(*registry);
    f.events = &prometheus::BuildCounter()
                    .Name("moorwinch_events_total")
                    .Help("Events of the station by kind (connected, disconnected, verdict, stale, config, reporting)")
                    .Register(*registry);
    f.eventCommands = &prometheus::BuildCounter()
                           .Name("moorwinch_event_commands_total")
                           .Help("Runs of the --on-event commands by result: ok, failed, timeout, dropped")
                           .Register(*registry);
    std::map<std::string, prometheus::Family<Gauge>*> byName;
    for (const StatusGauge& g : statusGauges()) {
        auto& family = byName[g.name];
        if (!family) family = &prometheus::BuildGauge().Name(g.name).Help(g.help).Register(*registry);
        f.values.push_back(&family->Add(g.labels));
        f.values.back()->Set(unknown);
    }
}

Metrics::~Metrics() = default;

std::string Metrics::serve(const Endpoint& at) {
    const std::string address = civetwebAddress(at);
    try {
        exposer = std::make_unique<prometheus::Exposer>(address, 2);
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot serve metrics on " + address + ": " + e.what());
    }
    for (const auto& c : collectables()) exposer->RegisterCollectable(c);
    const auto ports = exposer->GetListeningPorts();
    if (ports.empty()) return address;
    return address.substr(0, address.rfind(':') + 1) + std::to_string(ports.front());
}

std::vector<std::shared_ptr<prometheus::Collectable>> Metrics::collectables() const {
    return {registry, dataAge, computed};
}

std::string Metrics::exposition() const {
    std::vector<prometheus::MetricFamily> collected;
    for (const auto& c : collectables())
        for (auto& family : c->Collect()) collected.push_back(std::move(family));
    std::ostringstream text;
    prometheus::TextSerializer().Serialize(text, collected);
    return text.str();
}

void Metrics::exchange(const char* op, const char* result, double seconds) {
    families->exchanges->Add({{"op", op}, {"result", result}}).Increment();
    static const prometheus::Histogram::BucketBoundaries buckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                                     0.5,   1,    2.5,   5,    10};
    families->duration->Add({{"op", op}}, buckets).Observe(seconds);
}

void Metrics::connected(bool up) { families->up->Add({}).Set(up ? 1 : 0); }
void Metrics::reconnected() { families->reconnects->Increment(); }
void Metrics::pollsMissed(std::uint64_t count) { families->missed->Increment(static_cast<double>(count)); }
void Metrics::clients(std::size_t count) { families->clients->Set(static_cast<double>(count)); }

void Metrics::status(const nlohmann::json& data, double time, int verdict) {
    const auto& table = statusGauges();
    for (std::size_t i = 0; i < table.size(); ++i) {
        auto it = data.find(table[i].key);
        const bool known = it != data.end() && it->is_number();
        families->values[i]->Set(known ? it->get<double>() * table[i].factor : unknown);
    }
    families->verdict->Set(verdict);
    families->lastPoll->Set(time);
    dataAge->polled(time);
}

void Metrics::forget() {
    for (Gauge* g : families->values) g->Set(unknown);
    families->verdict->Set(unknown);
}

void Metrics::details(const nlohmann::json& data) {
    auto text = [&data](const char* key) {
        auto it = data.find(key);
        return it != data.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    if (families->infoGauge) families->info->Remove(families->infoGauge);
    families->infoGauge = &families->info->Add({{"model", text("model")},
                                                {"serial_number", text("serialNumber")},
                                                {"hw_version", text("hwVersion")},
                                                {"protocol_version", text("protocolVersion")}});
    families->infoGauge->Set(1);
}

void Metrics::event(const char* kind) { families->events->Add({{"kind", kind}}).Increment(); }

void Metrics::eventCommand(const char* result) { families->eventCommands->Add({{"result", result}}).Increment(); }

void Metrics::countedBy(const std::string& name, const std::string& help, std::function<double()> value) {
    computed->add(name, help, std::move(value));
}

}  // namespace moorwinchd
