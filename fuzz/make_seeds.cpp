// Writes the seed corpora of the harnesses: replies of the simulated station to
// real requests in every scenario, with reporting flags off and with error
// statuses, and setter sequences for the encoder harness.
//   fuzz_make_seeds <seed directory>
// Existing seed files of each harness are replaced.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "SetterTable.h"
#include "StationModel.h"

namespace {

namespace fs = std::filesystem;
using moorwinch_sim::Scenario;
using moorwinch_sim::StationFaults;
using moorwinch_sim::StationModel;

constexpr unsigned short requestId = 4242;

class SeedWriter {
public:
    SeedWriter(const fs::path& root, const char* harness) : dir(root / harness) {
        if (fs::exists(dir))
            for (const auto& entry : fs::directory_iterator(dir)) fs::remove(entry.path());
        fs::create_directories(dir);
    }
    void write(const std::string& name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        ++count;
    }
    ~SeedWriter() { std::cout << dir.string() << ": " << count << " seeds\n"; }

private:
    fs::path dir;
    int count = 0;
};

std::string request(const std::string& command) {
    return "{\"COM\":{\"MSG_ID\":" + std::to_string(requestId) + "},\"COMMAND\":{" + command + "}}";
}
const std::string getStatus = request("\"GET_SYSTEM_STATUS\":1");
const std::string getDetails = request("\"GET_SYSTEM_DETAILS\":1");
const std::string getConfig = request("\"GET_SYSTEM_CONFIG\":1");
const std::string getProtocol = request("\"GET_PROTOCOL\":1");

// A station whose clock moves only when told, so that the seeds come out the same every time.
struct Station {
    StationModel::Clock::time_point now{};
    StationModel model;
    explicit Station(Scenario scenario) : model(scenario) {
        model.setClock([this] { return now; });
    }
    // The reply as receiveData hands it on: from the first "{" on.
    std::string ask(const std::string& line) {
        std::string reply = model.respond(line);
        const std::size_t brace = reply.find('{');
        return brace == std::string::npos ? std::string() : reply.substr(brace);
    }
    void wait(int seconds) { now += std::chrono::seconds(seconds); }
};

struct Named {
    const char* name;
    Scenario scenario;
};
const Named scenarios[] = {{"healthy", Scenario::healthy},
                           {"warning", Scenario::warning},
                           {"error", Scenario::error},
                           {"maintenance", Scenario::maintenance}};

std::string withFault(const std::string& line, const StationFaults& faults) {
    Station station(Scenario::healthy);
    station.model.setFaults(faults);
    return station.ask(line);
}
std::string comStatus(const std::string& line, int status) {
    StationFaults faults;
    faults.comStatus = status;
    return withFault(line, faults);
}

// Encoder inputs: one setter call per record, in the harness's format.
class Calls {
public:
    Calls& number(const char* setter, std::uint32_t value) {
        const fuzzing::Setter& s = find(setter);
        bytes += static_cast<char>(index(s));
        for (std::size_t k = 0; k < fuzzing::valueWidth(s.arg); ++k) bytes += static_cast<char>(value >> (8 * k) & 0xFF);
        return *this;
    }
    Calls& text(const char* setter, const std::string& value) {
        const fuzzing::Setter& s = find(setter);
        bytes += static_cast<char>(index(s));
        bytes += static_cast<char>(value.size() & 0xFF);
        bytes += static_cast<char>(value.size() >> 8 & 0xFF);
        bytes += value;
        return *this;
    }
    const std::string& str() const { return bytes; }

private:
    static const fuzzing::Setter& find(const char* name) {
        for (const fuzzing::Setter& s : fuzzing::setters)
            if (std::strcmp(s.name, name) == 0) return s;
        std::cerr << "no setter " << name << "\n";
        std::exit(1);
    }
    static std::size_t index(const fuzzing::Setter& s) { return static_cast<std::size_t>(&s - fuzzing::setters); }
    std::string bytes;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " <seed directory>\n";
        return 2;
    }
    const fs::path root = argv[1];

    {
        SeedWriter status(root, "status_data");
        for (const Named& s : scenarios) status.write(std::string(s.name) + "_status", Station(s.scenario).ask(getStatus));
        Station flying(Scenario::healthy);
        flying.ask(request("\"SET_ACTIVATION\":16"));
        flying.wait(90);
        status.write("activated_status", flying.ask(getStatus));
        Station quiet(Scenario::healthy);
        quiet.ask(request(R"("CONFIG_STATUS":{"CAB":0,"ENV":0,"ENERGY_GS":0,"ENERGY_UAV":0,"SYS_STATE":0,"HW_MODULE_STATUS":0})"));
        status.write("flags_off_status", quiet.ask(getStatus));
        Station some(Scenario::warning);
        some.ask(request(R"("CONFIG_STATUS":{"ENV":0,"ENERGY_UAV":0})"));
        status.write("some_flags_off_status", some.ask(getStatus));
        status.write("refused_status", comStatus(getStatus, StationModel::statusRefused));
    }
    {
        SeedWriter details(root, "system_details");
        for (const Named& s : scenarios)
            details.write(std::string(s.name) + "_details", Station(s.scenario).ask(getDetails));
        Station station(Scenario::healthy);
        details.write("protocol", station.ask(getProtocol));
        details.write("sw_version", station.ask(request("\"GET_SWVERSION\":1")));
        details.write("hw_version", station.ask(request("\"GET_HWVERSION\":1")));
        details.write("malformed_details", comStatus(getDetails, StationModel::statusMalformed));
    }
    {
        SeedWriter config(root, "system_config");
        Station station(Scenario::healthy);
        config.write("default_config", station.ask(getConfig));
        station.ask(request("\"SET_ACTIVATION\":16"));
        station.ask(request("\"SET_RET_TORQUE\":100"));
        station.ask(request("\"SET_RET_START\":30"));
        config.write("changed_config", station.ask(getConfig));
        config.write("refused_torque", station.ask(request("\"SET_RET_TORQUE\":101")));
        config.write("wrong_data_config", comStatus(getConfig, StationModel::statusWrongData));
    }
    {
        // The request id, high byte first, then the reply.
        SeedWriter replies(root, "check_reply");
        const std::string id{static_cast<char>(requestId >> 8), static_cast<char>(requestId & 0xFF)};
        replies.write("status_ok", id + Station(Scenario::healthy).ask(getStatus));
        replies.write("config_ok", id + Station(Scenario::error).ask(getConfig));
        replies.write("protocol_ok", id + Station(Scenario::healthy).ask(getProtocol));
        replies.write("unknown_command", id + Station(Scenario::healthy).ask(request("\"GET_NOTHING\":1")));
        replies.write("malformed_request", id + Station(Scenario::healthy).ask("{\"COM\":{\"MSG_ID\":4242}"));
        StationFaults wrongId;
        wrongId.wrongId = true;
        replies.write("wrong_id", id + withFault(getStatus, wrongId));
        for (int code : {1, 2, 6, 7})
            replies.write("status_code_" + std::to_string(code), id + comStatus(getStatus, code));
        std::string longMessage;  // past the 255 bytes kept, in two-byte characters
        for (int i = 0; i < 200; ++i) longMessage += "\xc3\xa9";
        replies.write("refused_long_message", id + "{\"COM\":{\"MSG_ID\":4242,\"COM_STATUS\":6,\"COM_STATUS_MSG\":\"" +
                                                  longMessage + "\\n\"}}\n");
    }
    {
        // Records of the line reader: a control byte, a length, that many bytes.
        SeedWriter lines(root, "line_reader");
        auto records = [](const std::string& bytes, char control, std::size_t chunk) {
            std::string out;
            for (std::size_t at = 0; at < bytes.size(); at += chunk) {
                const std::string piece = bytes.substr(at, chunk);
                out += control;
                out += static_cast<char>(piece.size());
                out += piece;
            }
            return out;
        };
        const std::string reply = Station(Scenario::healthy).ask(getStatus);
        lines.write("reply_in_chunks", records(reply, '\x01', 64));
        lines.write("stale_then_reply", records("{\"COM\":{\"MS", '\x00', 255) +
                                            records("G_ID\":1}}\n" + reply, '\x45', 200));
        lines.write("trickle", records("{xxxxxxxxxxxxxxxxxxxx\n", '\x0a', 1));
    }
    {
        SeedWriter versions(root, "version_string");
        const nlohmann::json protocol = nlohmann::json::parse(Station(Scenario::healthy).ask(getProtocol));
        versions.write("station", protocol["SYSTEM_DETAILS"]["PROTOCOL_VERSION"].get<std::string>());
        versions.write("three_pieces", "2.1.7");
        versions.write("four_pieces", "1.2.3.4");
        versions.write("suffix", "1.36-beta");
        versions.write("trailing_dot", "1.36.");
        versions.write("empty_piece", "1..2");
        versions.write("too_large", "1.99999999999");
    }
    {
        SeedWriter encoders(root, "encoders");
        encoders.write("defaults", "");
        encoders.write("station",
                       Calls()
                           .text("set_mw_sys_details_product_type", "Skyhold.Platform ground station")
                           .text("set_mw_sys_details_model", "SGS-100")
                           .text("set_mw_sw_version_main_ctrl", "2.4.1")
                           .number("set_mw_sys_details_max_cable_length", 10000)
                           .number("set_mw_cab_length", 5000)
                           .number("set_mw_env_temp1", 38)
                           .number("set_mw_sys_conf_ret_torque", 40)
                           .number("set_mw_com_msg_id", requestId)
                           .str());
        encoders.write("extremes_with_tails",
                       Calls()
                           .number("set_mw_sys_state_auth_enable", 1)
                           .number("set_mw_cab_speed", 0x8000)
                           .number("set_mw_env_temp2", 0x80)
                           .number("set_mw_sys_details_rtc_time", 0xFFFFFFFFu)
                           .number("set_mw_config_product_timestamp", 0xFFFFFFFFu)
                           .number("set_mw_energy_uav_ext_i", 0x7FFF)
                           .str());
        encoders.write("flags_off",
                       Calls()
                           .number("set_mw_config_status_cab", 0)
                           .number("set_mw_config_status_env", 2)
                           .number("set_mw_config_status_energy_gs", 255)
                           .number("set_mw_config_status_hardware_modules", 0)
                           .number("set_mw_sys_state_auth_enable", 7)
                           .str());
        const std::string controls = "\"}\\\b\f\n\r\t\x01\x1f\x7f";
        encoders.write("hostile_texts",
                       Calls()
                           .text("set_mw_config_product_auth_key", controls)
                           .text("set_mw_sw_version_net_ctrl", "25\xf8" "C \xc2\xb0")
                           .text("set_mw_sys_details_model", "\xe2\x82\xac \xf0\x9f\x9a\x81 \xc3\xa9")
                           .text("set_mw_sys_details_serial_number", std::string(29, 'x') + "\xe2\x82\xac")
                           .text("set_mw_com_status_msg", std::string(300, '\\'))
                           .str());
    }
    return 0;
}
