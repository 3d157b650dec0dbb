// Prometheus metrics of one station, served over HTTP by prometheus-cpp's pull
// exposer. Base units in the names; values the station does not report are NaN.
#ifndef MOORWINCHD_METRICS_H
#define MOORWINCHD_METRICS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Options.h"

namespace prometheus {
class Collectable;
class Exposer;
class Registry;
}  // namespace prometheus

namespace moorwinchd {

class Metrics {
public:
    Metrics();
    ~Metrics();
    Metrics(const Metrics&) = delete;
    Metrics& operator=(const Metrics&) = delete;

    // Starts serving /metrics; returns the address bound (the real port when 0
    // was asked). Throws std::runtime_error when the address cannot be used.
    std::string serve(const Endpoint& at);
    // The text exposition of the same families, for the dashboard's /metrics.
    std::string exposition() const;

    // One exchange with the station: op like "status", result like "ok" or "io_error".
    void exchange(const char* op, const char* result, double seconds);
    void connected(bool up);
    void reconnected();
    void pollsMissed(std::uint64_t count);
    void clients(std::size_t count);
    // The status of a poll, in the JSON mapping, with the poll's time (Unix s)
    // and the verdict 0 ok, 1 warning, 2 error. moorwinch_data_age_seconds is
    // the age of the last of these at the time of each scrape.
    void status(const nlohmann::json& data, double time, int verdict);
    // Marks every station value unknown (disconnected).
    void forget();
    void details(const nlohmann::json& data);
    // One event of the station, by kind (moorwinch_events_total).
    void event(const char* kind);
    // One run of an event command by result: ok, failed, timeout, dropped.
    void eventCommand(const char* result);
    // A counter whose value is read at each scrape (e.g. the history's write
    // errors); the function must stay callable while metrics are served.
    void countedBy(const std::string& name, const std::string& help, std::function<double()> value);

private:
    struct Families;
    class DataAge;
    class Computed;
    // What both /metrics serve.
    std::vector<std::shared_ptr<prometheus::Collectable>> collectables() const;
    std::shared_ptr<prometheus::Registry> registry;
    std::shared_ptr<DataAge> dataAge;
    std::shared_ptr<Computed> computed;
    std::unique_ptr<Families> families;
    std::unique_ptr<prometheus::Exposer> exposer;
};

}  // namespace moorwinchd

#endif
