// Setters and JSON encoders over the protocol tables.
//
// Every fragment is built in a std::string by a small builder (block key, then
// members in protocol order) and appended to the caller's buffer at the end, so
// no intermediate buffer can overflow however the texts are escaped.
#include "MoorwinchProtocol.h"

#include <cstring>
#include <string>
#include <utility>

namespace {

// Length of the well-formed UTF-8 sequence of two to four bytes at text, or 0.
std::size_t utf8Sequence(const unsigned char* text, std::size_t left) {
    const unsigned char c = text[0];
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;   // no overlong forms
        if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (left < length || text[1] < low || text[1] > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if ((text[k] & 0xC0) != 0x80) return 0;
    return length;
}

// Writes text as a JSON string: '"', '\\' and control characters escaped, UTF-8
// copied unchanged. JSON text must be UTF-8, so any other byte >= 0x80 (a
// Latin-1 text, a character cut by a setter) is written as the code point of
// the same value, "\u00XX", which keeps the byte recoverable.
void appendJsonText(std::string& out, const char* text, std::size_t length) {
    static const char hex[] = "0123456789abcdef";
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    out += '"';
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = bytes[i];
        if (c >= 0x80) {
            if (std::size_t sequence = utf8Sequence(bytes + i, length - i)) {
                out.append(text + i, sequence);
                i += sequence - 1;
            } else {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0x0f];
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0x0f];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

void appendJsonText(std::string& out, const char* text) {
    appendJsonText(out, text ? text : "", text ? std::strlen(text) : 0);
}

// An entry's value: held inline, or read through the link to another block.
template <typename T> T valueOf(T value) { return value; }
template <typename T> T valueOf(T* link) { return *link; }

// One fragment, "KEY":{"MEMBER":value,...}.
class Fragment {
public:
    explicit Fragment(const char* blockKey) {
        appendJsonText(out_, blockKey);
        out_ += ":{";
    }

    template <typename... Entries> Fragment& add(const Entries&... entries) {
        (member(entries), ...);
        return *this;
    }

    // The product configuration sends its times as numbers in quotes.
    Fragment& quoted(const mw_entry_u32& entry) {
        key(entry.key);
        out_ += '"';
        out_ += std::to_string(entry.value);
        out_ += '"';
        return *this;
    }

    // A whole block as a member: its own key becomes the member key.
    Fragment& nested(const std::string& fragment) {
        separate();
        out_ += fragment;
        return *this;
    }

    std::string close() {
        out_ += '}';
        return std::move(out_);
    }

private:
    void separate() {
        if (!first_) out_ += ',';
        first_ = false;
    }
    void key(const char* text) {
        separate();
        appendJsonText(out_, text);
        out_ += ':';
    }

    // Integers inline or through a link; unary + keeps 8-bit values numeric.
    template <typename Entry> void member(const Entry& entry) {
        key(entry.key);
        out_ += std::to_string(+valueOf(entry.value));
    }
    // A table's text field may lack its terminator if written directly; never read past it.
    template <std::size_t N> void member(const mw_entry_text<N>& entry) {
        key(entry.key);
        appendJsonText(out_, entry.value, strnlen(entry.value, N));
    }
    void member(const mw_entry_const_text& entry) {
        key(entry.key);
        appendJsonText(out_, entry.value);
    }

    std::string out_;
    bool first_ = true;
};

// The tails of the energy, state and details blocks are sent only with authentication on.
bool extended() { return mw_sys_state.auth_enable.value != 0; }

std::string hwModuleStatus(const mw_hw_module_status_t& b) {
    return Fragment(b.key)
        .add(b.main_ctrl, b.reel_ctrl, b.lpwr_ctrl, b.hpwr_ctrl, b.env_ctrl, b.net_ctrl, b.bbat_ctrl)
        .close();
}

std::string configStatus(const mw_config_status_t& b) {
    return Fragment(b.key).add(b.cab, b.env, b.energy_gs, b.energy_uav, b.sys_state, b.hw_module_status).close();
}

std::string configProduct(const mw_config_product_t& b) {
    return Fragment(b.key)
        .add(b.product_type, b.model, b.sn, b.dop, b.hw_version, b.uav_cell_voltages, b.max_power, b.cable_type,
             b.max_cable_length, b.network_type)
        .quoted(b.ttm)
        .quoted(b.timestamp)
        .add(b.auth_key)
        .nested(hwModuleStatus(*b.hw_module_status))
        .close();
}

std::string swVersion(const mw_sw_version_t& b) {
    return Fragment(b.key)
        .add(b.main_ctrl, b.reel_ctrl, b.lpwr_ctrl, b.hpwr_ctrl, b.env_ctrl, b.net_ctrl, b.bbat_ctrl)
        .close();
}

std::string sysDetails(const mw_sys_details_t& b) {
    Fragment f(b.key);
    f.add(b.product_type, b.model, b.sn, b.dop, b.hw_version)
        .nested(swVersion(*b.sw_version))
        .add(b.protocol_version, b.uav_cell_voltages, b.max_power, b.cable_type, b.max_cable_length, b.network_type,
             b.flight_time_sum, b.flight_count, b.operation_time_sum, b.operation_count, b.system_time_sum,
             b.system_use_count, b.last_maintenance, b.ttm, b.maintenance_required);
    if (extended()) f.add(b.maintenance_counter, b.rtc_time, b.product_config_timestamp);
    return f.close();
}

std::string sysConfig(const mw_sys_config_t& b) {
    return Fragment(b.key).add(b.activation, b.ret_status, b.ret_torque, b.ret_start).close();
}

std::string cab(const mw_cab_t& b) {
    return Fragment(b.key)
        .add(b.length, b.speed, b.tether_status, b.guide_status, b.reel_status, b.ret_status, b.ret_torque,
             b.ret_start)
        .close();
}

std::string env(const mw_env_t& b) {
    return Fragment(b.key)
        .add(b.temp1, b.temp2, b.temp3, b.temp4, b.hum1, b.press1, b.envsensor1_status, b.envsensor2_status,
             b.envsensor3_status, b.envsensor4_status, b.fan1_rpm, b.fan2_rpm, b.fan1_status, b.fan2_status)
        .close();
}

std::string energyGs(const mw_energy_gs_t& b) {
    Fragment f(b.key);
    f.add(b.mains_u, b.mains_i, b.mains_f, b.mains_status, b.ctrl_supl_status, b.bat_u, b.bat_status);
    if (extended()) {
        f.add(b.ctrl_supl1, b.ctrl_supl2, b.ctrl_supl3, b.ctrl_supl4, b.ctrl_supl5, b.ctrl_supl6,
              b.ctrl_supl1_status, b.ctrl_supl2_status, b.ctrl_supl3_status, b.ctrl_supl4_status,
              b.ctrl_supl5_status, b.ctrl_supl6_status);
    }
    return f.close();
}

std::string energyUav(const mw_energy_uav_t& b) {
    Fragment f(b.key);
    f.add(b.uav_supl_u, b.uav_supl_i, b.ext_supl_status, b.uav_cell_count);
    if (extended()) f.add(b.ext_supl_u, b.ext_supl_i, b.uav_supl_status);
    return f.close();
}

std::string sysState(const mw_sys_state_t& b) {
    Fragment f(b.key);
    f.add(b.activation, b.ret_status, b.bat_status, b.flight_time, b.flight_time_op_sum, b.flight_count_op_sum,
          b.operation_time, b.system_time, b.error);
    if (extended()) f.add(b.network_status, b.memory_status, b.auth_enable);
    return f.close();
}

std::string sysStatus(const mw_sys_status_t& b) {
    const mw_config_status_t& flags = *b.config_status;
    // The reported blocks in their protocol order, each with its reporting flag.
    const struct {
        std::uint8_t flag;
        std::string (*encode)(const mw_sys_status_t&);
    } reported[] = {
        {flags.cab.value, [](const mw_sys_status_t& s) { return cab(*s.cab); }},
        {flags.env.value, [](const mw_sys_status_t& s) { return env(*s.env); }},
        {flags.energy_gs.value, [](const mw_sys_status_t& s) { return energyGs(*s.energy_gs); }},
        {flags.energy_uav.value, [](const mw_sys_status_t& s) { return energyUav(*s.energy_uav); }},
        {flags.sys_state.value, [](const mw_sys_status_t& s) { return sysState(*s.sys_state); }},
    };
    // The configuration and the module states are always sent, whatever their flags say.
    Fragment f(b.key);
    f.nested(configStatus(flags)).nested(hwModuleStatus(*b.hw_module_status));
    for (const auto& block : reported) {
        if (block.flag == 1) f.nested(block.encode(b));
    }
    return f.close();
}

std::string detailsWith(const std::string& member) {
    return Fragment(mw_sys_details.key).nested(member).close();
}

void append(char* dst, const std::string& fragment) {
    std::memcpy(dst + std::strlen(dst), fragment.c_str(), fragment.size() + 1);
}

// Cuts a longer text to the field and always terminates it; a null text stores
// the empty text. A cut never splits a UTF-8 character: it falls before it.
template <std::size_t N> void storeText(mw_entry_text<N>& entry, const char* text) {
    std::size_t length = text ? strnlen(text, N - 1) : 0;
    if (length == N - 1 && text[length] != '\0') {
        for (std::size_t back = 1; back < 4 && back <= length; ++back) {
            const std::size_t start = length - back;
            const auto* bytes = reinterpret_cast<const unsigned char*>(text + start);
            if (utf8Sequence(bytes, strnlen(text + start, 4)) > back) {
                length = start;
                break;
            }
        }
    }
    if (length) std::memcpy(entry.value, text, length);
    std::memset(entry.value + length, 0, N - length);
}

}  // namespace

// ---------------------------------------------------------------------------
// Setters

void set_mw_hw_module_status_main_ctrl(unsigned char value) { mw_hw_module_status.main_ctrl.value = value; }
void set_mw_hw_module_status_reel_ctrl(unsigned char value) { mw_hw_module_status.reel_ctrl.value = value; }
void set_mw_hw_module_status_lpwr_ctrl(unsigned char value) { mw_hw_module_status.lpwr_ctrl.value = value; }
void set_mw_hw_module_status_hpwr_ctrl(unsigned char value) { mw_hw_module_status.hpwr_ctrl.value = value; }
void set_mw_hw_module_status_env_ctrl(unsigned char value) { mw_hw_module_status.env_ctrl.value = value; }
void set_mw_hw_module_status_net_ctrl(unsigned char value) { mw_hw_module_status.net_ctrl.value = value; }
void set_mw_hw_module_status_bbat_ctrl(unsigned char value) { mw_hw_module_status.bbat_ctrl.value = value; }

void set_mw_config_product_type(const char* value) { storeText(mw_config_product.product_type, value); }
void set_mw_config_product_model(const char* value) { storeText(mw_config_product.model, value); }
void set_mw_config_product_serial_number(const char* value) { storeText(mw_config_product.sn, value); }
void set_mw_config_product_day_of_production(const char* value) { storeText(mw_config_product.dop, value); }
void set_mw_config_product_hw_version(const char* value) { storeText(mw_config_product.hw_version, value); }
void set_mw_config_product_uav_cell_voltages(const char* value) {
    storeText(mw_config_product.uav_cell_voltages, value);
}
void set_mw_config_product_max_power(unsigned short value) { mw_config_product.max_power.value = value; }
void set_mw_config_product_cable_type(const char* value) { storeText(mw_config_product.cable_type, value); }
void set_mw_config_product_max_cable_length(unsigned short value) { mw_config_product.max_cable_length.value = value; }
void set_mw_config_product_network_type(unsigned short value) { mw_config_product.network_type.value = value; }
void set_mw_config_product_time_to_maintenance(unsigned int value) { mw_config_product.ttm.value = value; }
void set_mw_config_product_timestamp(unsigned int value) { mw_config_product.timestamp.value = value; }
void set_mw_config_product_auth_key(const char* value) { storeText(mw_config_product.auth_key, value); }

void set_mw_config_status_cab(unsigned char value) { mw_config_status.cab.value = value; }
void set_mw_config_status_env(unsigned char value) { mw_config_status.env.value = value; }
void set_mw_config_status_energy_gs(unsigned char value) { mw_config_status.energy_gs.value = value; }
void set_mw_config_status_energy_uav(unsigned char value) { mw_config_status.energy_uav.value = value; }
void set_mw_config_status_sys_state(unsigned char value) { mw_config_status.sys_state.value = value; }
void set_mw_config_status_hardware_modules(unsigned char value) { mw_config_status.hw_module_status.value = value; }

void set_mw_sw_version_main_ctrl(const char* value) { storeText(mw_sw_version.main_ctrl, value); }
void set_mw_sw_version_reel_ctrl(const char* value) { storeText(mw_sw_version.reel_ctrl, value); }
void set_mw_sw_version_lpwr_ctrl(const char* value) { storeText(mw_sw_version.lpwr_ctrl, value); }
void set_mw_sw_version_hpwr_ctrl(const char* value) { storeText(mw_sw_version.hpwr_ctrl, value); }
void set_mw_sw_version_env_ctrl(const char* value) { storeText(mw_sw_version.env_ctrl, value); }
void set_mw_sw_version_net_ctrl(const char* value) { storeText(mw_sw_version.net_ctrl, value); }
void set_mw_sw_version_bbat_ctrl(const char* value) { storeText(mw_sw_version.bbat_ctrl, value); }

void set_mw_sys_details_product_type(const char* value) { storeText(mw_sys_details.product_type, value); }
void set_mw_sys_details_model(const char* value) { storeText(mw_sys_details.model, value); }
void set_mw_sys_details_serial_number(const char* value) { storeText(mw_sys_details.sn, value); }
void set_mw_sys_details_day_of_production(const char* value) { storeText(mw_sys_details.dop, value); }
void set_mw_sys_details_hw_version(const char* value) { storeText(mw_sys_details.hw_version, value); }
void set_mw_sys_details_uav_cell_voltages(const char* value) { storeText(mw_sys_details.uav_cell_voltages, value); }
void set_mw_sys_details_max_power(unsigned short value) { mw_sys_details.max_power.value = value; }
void set_mw_sys_details_cable_type(const char* value) { storeText(mw_sys_details.cable_type, value); }
void set_mw_sys_details_max_cable_length(unsigned short value) { mw_sys_details.max_cable_length.value = value; }
void set_mw_sys_details_network_type(unsigned short value) { mw_sys_details.network_type.value = value; }
void set_mw_sys_details_flight_time_sum(unsigned int value) { mw_sys_details.flight_time_sum.value = value; }
void set_mw_sys_details_flight_count(unsigned int value) { mw_sys_details.flight_count.value = value; }
void set_mw_sys_details_operation_time_sum(unsigned int value) { mw_sys_details.operation_time_sum.value = value; }
void set_mw_sys_details_operation_count(unsigned int value) { mw_sys_details.operation_count.value = value; }
void set_mw_sys_details_system_time_sum(unsigned int value) { mw_sys_details.system_time_sum.value = value; }
void set_mw_sys_details_system_use_count(unsigned int value) { mw_sys_details.system_use_count.value = value; }
void set_mw_sys_details_maintenance_last_timestamp(unsigned int value) {
    mw_sys_details.last_maintenance.value = value;
}
void set_mw_sys_details_time_to_maintenance(unsigned int value) { mw_sys_details.ttm.value = value; }
void set_mw_sys_details_maintenance_required(unsigned char value) {
    mw_sys_details.maintenance_required.value = value;
}
void set_mw_sys_details_maintenance_counter(unsigned char value) { mw_sys_details.maintenance_counter.value = value; }
void set_mw_sys_details_rtc_time(unsigned int value) { mw_sys_details.rtc_time.value = value; }
void set_mw_sys_details_product_config_timestamp(unsigned int value) {
    mw_sys_details.product_config_timestamp.value = value;
}

// These four slots also show through the links of CAB and SYS_STATE.
void set_mw_sys_conf_activation(unsigned char value) { mw_sys_config.activation.value = value; }
void set_mw_sys_conf_ret_status(unsigned char value) { mw_sys_config.ret_status.value = value; }
void set_mw_sys_conf_ret_torque(unsigned short value) { mw_sys_config.ret_torque.value = value; }
void set_mw_sys_conf_ret_start(unsigned short value) { mw_sys_config.ret_start.value = value; }

void set_mw_cab_length(short value) { mw_cab.length.value = value; }
void set_mw_cab_speed(short value) { mw_cab.speed.value = value; }
void set_mw_cab_tether_status(unsigned char value) { mw_cab.tether_status.value = value; }
void set_mw_cab_guide_status(unsigned char value) { mw_cab.guide_status.value = value; }
void set_mw_cab_reel_status(unsigned char value) { mw_cab.reel_status.value = value; }

void set_mw_env_temp1(signed char value) { mw_env.temp1.value = value; }
void set_mw_env_temp2(signed char value) { mw_env.temp2.value = value; }
void set_mw_env_temp3(signed char value) { mw_env.temp3.value = value; }
void set_mw_env_temp4(signed char value) { mw_env.temp4.value = value; }
void set_mw_env_hum1(signed char value) { mw_env.hum1.value = value; }
void set_mw_env_press1(unsigned short value) { mw_env.press1.value = value; }
void set_mw_env_sensor1_status(unsigned char value) { mw_env.envsensor1_status.value = value; }
void set_mw_env_sensor2_status(unsigned char value) { mw_env.envsensor2_status.value = value; }
void set_mw_env_sensor3_status(unsigned char value) { mw_env.envsensor3_status.value = value; }
void set_mw_env_sensor4_status(unsigned char value) { mw_env.envsensor4_status.value = value; }
void set_mw_env_fan1(unsigned short value) { mw_env.fan1_rpm.value = value; }
void set_mw_env_fan2(unsigned short value) { mw_env.fan2_rpm.value = value; }
void set_mw_env_fan1_status(unsigned char value) { mw_env.fan1_status.value = value; }
void set_mw_env_fan2_status(unsigned char value) { mw_env.fan2_status.value = value; }

void set_mw_energy_gs_mains_u(short value) { mw_energy_gs.mains_u.value = value; }
void set_mw_energy_gs_mains_i(short value) { mw_energy_gs.mains_i.value = value; }
void set_mw_energy_gs_mains_f(unsigned short value) { mw_energy_gs.mains_f.value = value; }
void set_mw_energy_gs_mains_status(unsigned char value) { mw_energy_gs.mains_status.value = value; }
void set_mw_energy_gs_ctrl_supl1(short value) { mw_energy_gs.ctrl_supl1.value = value; }
void set_mw_energy_gs_ctrl_supl2(short value) { mw_energy_gs.ctrl_supl2.value = value; }
void set_mw_energy_gs_ctrl_supl3(short value) { mw_energy_gs.ctrl_supl3.value = value; }
void set_mw_energy_gs_ctrl_supl4(short value) { mw_energy_gs.ctrl_supl4.value = value; }
void set_mw_energy_gs_ctrl_supl5(short value) { mw_energy_gs.ctrl_supl5.value = value; }
void set_mw_energy_gs_ctrl_supl6(short value) { mw_energy_gs.ctrl_supl6.value = value; }
void set_mw_energy_gs_ctrl_supl_status(unsigned char value) { mw_energy_gs.ctrl_supl_status.value = value; }
void set_mw_energy_gs_ctrl_supl1_status(unsigned char value) { mw_energy_gs.ctrl_supl1_status.value = value; }
void set_mw_energy_gs_ctrl_supl2_status(unsigned char value) { mw_energy_gs.ctrl_supl2_status.value = value; }
void set_mw_energy_gs_ctrl_supl3_status(unsigned char value) { mw_energy_gs.ctrl_supl3_status.value = value; }
void set_mw_energy_gs_ctrl_supl4_status(unsigned char value) { mw_energy_gs.ctrl_supl4_status.value = value; }
void set_mw_energy_gs_ctrl_supl5_status(unsigned char value) { mw_energy_gs.ctrl_supl5_status.value = value; }
void set_mw_energy_gs_ctrl_supl6_status(unsigned char value) { mw_energy_gs.ctrl_supl6_status.value = value; }
void set_mw_energy_gs_bat_u(unsigned char value) { mw_energy_gs.bat_u.value = value; }
// Also shows through the link of SYS_STATE.
void set_mw_energy_gs_bat_status(unsigned char value) { mw_energy_gs.bat_status.value = value; }

void set_mw_energy_uav_ext_u(short value) { mw_energy_uav.ext_supl_u.value = value; }
void set_mw_energy_uav_ext_i(short value) { mw_energy_uav.ext_supl_i.value = value; }
void set_mw_energy_uav_uav_u(short value) { mw_energy_uav.uav_supl_u.value = value; }
void set_mw_energy_uav_uav_i(short value) { mw_energy_uav.uav_supl_i.value = value; }
void set_mw_energy_uav_ext_status(unsigned char value) { mw_energy_uav.ext_supl_status.value = value; }
void set_mw_energy_uav_uav_status(unsigned char value) { mw_energy_uav.uav_supl_status.value = value; }
void set_mw_energy_uav_cell_count(unsigned char value) { mw_energy_uav.uav_cell_count.value = value; }

void set_mw_sys_state_flight_time(unsigned int value) { mw_sys_state.flight_time.value = value; }
void set_mw_sys_state_flight_time_op_sum(unsigned int value) { mw_sys_state.flight_time_op_sum.value = value; }
void set_mw_sys_state_flight_count_op_sum(unsigned int value) { mw_sys_state.flight_count_op_sum.value = value; }
void set_mw_sys_state_operation_time(unsigned int value) { mw_sys_state.operation_time.value = value; }
void set_mw_sys_state_system_time(unsigned int value) { mw_sys_state.system_time.value = value; }
void set_mw_sys_state_error(unsigned char value) { mw_sys_state.error.value = value; }
void set_mw_sys_state_network_status(unsigned char value) { mw_sys_state.network_status.value = value; }
void set_mw_sys_state_memory_status(unsigned char value) { mw_sys_state.memory_status.value = value; }
void set_mw_sys_state_auth_enable(unsigned char value) { mw_sys_state.auth_enable.value = value; }

void set_mw_com_msg_id(unsigned short value) { mw_communication.msg_id.value = value; }
void set_mw_com_status(unsigned short value) { mw_communication.com_status.value = value; }
void set_mw_com_status_msg(const char* value) { storeText(mw_communication.com_status_msg, value); }

// ---------------------------------------------------------------------------
// Encoders

void mw_hw_module_status_json(char* dst) { append(dst, hwModuleStatus(mw_hw_module_status)); }
void mw_config_status_json(char* dst) { append(dst, configStatus(mw_config_status)); }
void mw_config_product_json(char* dst) { append(dst, configProduct(mw_config_product)); }
void mw_sw_version_json(char* dst) { append(dst, swVersion(mw_sw_version)); }
void mw_sys_details_json(char* dst) { append(dst, sysDetails(mw_sys_details)); }

void mw_system_hw_version_json(char* dst) {
    append(dst, Fragment(mw_sys_details.key).add(mw_sys_details.hw_version).close());
}
void mw_system_sw_version_json(char* dst) { append(dst, detailsWith(swVersion(*mw_sys_details.sw_version))); }
void mw_system_protocol_json(char* dst) {
    append(dst, Fragment(mw_sys_details.key).add(mw_sys_details.protocol_version).close());
}

void mw_sys_config_json(char* dst) { append(dst, sysConfig(mw_sys_config)); }
void mw_cab_json(char* dst) { append(dst, cab(mw_cab)); }
void mw_env_json(char* dst) { append(dst, env(mw_env)); }
void mw_energy_gs_json(char* dst) { append(dst, energyGs(mw_energy_gs)); }
void mw_energy_uav_json(char* dst) { append(dst, energyUav(mw_energy_uav)); }
void mw_sys_state_json(char* dst) { append(dst, sysState(mw_sys_state)); }
void mw_sys_status_json(char* str) { append(str, sysStatus(mw_sys_status)); }

void mw_communication_json(char* dst) {
    const mw_communication_t& b = mw_communication;
    append(dst, Fragment(b.key).add(b.msg_id, b.com_status).close());
}
void mw_communication_debug_json(char* dst) {
    const mw_communication_t& b = mw_communication;
    append(dst, Fragment(b.key).add(b.msg_id, b.com_status, b.com_status_msg).close());
}

void jsonDelimiter(char* str) { std::strcat(str, ","); }

// Shifted in place rather than through a copy, so a text of any length can be enclosed.
void mw_complete_json(char* str) {
    const std::size_t length = std::strlen(str);
    std::memmove(str + 1, str, length);
    str[0] = '{';
    str[length + 1] = '}';
    str[length + 2] = '\0';
}
