#include "FlightLogColumns.h"

#include <QFile>
#include <QXmlStreamReader>

#include <algorithm>
#include <charconv>
#include <unordered_map>

namespace flightlog {

namespace {

std::vector<Column> buildColumns()
{
    using K = Kind;
    using S = StateSet;
    std::vector<Column> c = {
        {"x轴角速度", "gyro_x", "deg/s"},
        {"y轴角速度", "gyro_y", "deg/s"},
        {"z轴角速度", "gyro_z", "deg/s"},
        {"x轴加速度", "acc_x", "m/s^2"},
        {"y轴加速度", "acc_y", "m/s^2"},
        {"z轴加速度", "acc_z", "m/s^2"},
        {"x轴磁场强度", "mag_x", ""},
        {"y轴磁场强度", "mag_y", ""},
        {"z轴磁场强度", "mag_z", ""},
        {"滚转角", "roll", "deg"},
        {"俯仰角", "pitch", "deg"},
        {"航向角", "yaw", "deg"},
        {"磁航向", "mag_yaw", "deg"},
        {"气压高度", "pres_alt", "m"},
        {"预留", "ahrs_res0", ""},
        {"home纬度", "home_lat", "deg"},
        {"home经度", "home_lon", "deg"},
        {"纬度", "lat", "deg"},
        {"经度", "lon", "deg"},
        {"高度", "alt", "m"},
        {"北向相对距离", "rtk_north", "m"},
        {"东向相对距离", "rtk_east", "m"},
        {"相对高度", "rtk_up", "m"},
        {"北向速度", "north_spd", "m/s"},
        {"东向速度", "east_spd", "m/s"},
        {"天向速度", "up_spd", "m/s"},
        {"融合北向相对距离", "ekf_north", "m"},
        {"融合东向相对距离", "ekf_east", "m"},
        {"融合相对高度", "ekf_up", "m"},
        {"融合北向速度", "ekf_north_spd", "m/s"},
        {"融合东向速度", "ekf_east_spd", "m/s"},
        {"融合天向速度", "ekf_up_spd", "m/s"},
        {"双天线航向", "rtk_yaw", "deg"},
        {"单点卫星数", "sat_num", ""},
        {"差分卫星数", "rtk_sat_num", ""},
        {"期望北向位置", "target_pos_n", "m"},
        {"期望东向位置", "target_pos_e", "m"},
        {"期望高度", "target_alt", "m"},
        {"期望北向速度", "target_vel_n", "m/s"},
        {"期望东向速度", "target_vel_e", "m/s"},
        {"期望垂向速度", "target_vel_z", "m/s"},
        {"期望滚转角", "target_roll", "deg"},
        {"期望俯仰角", "target_pitch", "deg"},
        {"期望航向角", "target_yaw", "deg"},
        {"期望滚转角速率", "target_gyro_x", "deg/s"},
        {"期望俯仰角速率", "target_gyro_y", "deg/s"},
        {"期望偏航角速率", "target_gyro_z", "deg/s"},
        {"滚转通道输出控制量", "roll_servo_out", ""},
        {"俯仰通道输出控制量", "pitch_servo_out", ""},
        {"航向通道输出控制量", "yaw_servo_out", ""},
        {"油门通道输出控制量", "throttle_servo_out", ""},
        {"副翼", "rc_ail", ""},
        {"升降舵", "rc_ele", ""},
        {"油门", "rc_thr", ""},
        {"方向舵", "rc_rud", ""},
        {"mode", "rc_mode", ""},
        {"aux1", "rc_aux1", ""},
        {"aux2", "rc_aux2", ""},
        {"aux3", "rc_aux3", ""},
    };
    // Titles and keys of the numbered columns live as long as the table.
    static std::vector<std::string> numbered;
    numbered.reserve(2 * (16 + 30));
    for (int i = 1; i <= 16; ++i) {
        numbered.push_back("电机" + std::to_string(i));
        numbered.push_back("motor_" + std::to_string(i));
    }
    for (int i = 0; i < 16; ++i)
        c.push_back({numbered[size_t(2 * i)].c_str(), numbered[size_t(2 * i + 1)].c_str(), ""});
    const std::vector<Column> status = {
        {"飞行模式", "flight_mode", "", K::State, S::FlightMode},
        {"飞行状态", "flight_state", "", K::State, S::FlightState},
        {"遥控器状态", "rc_state", "", K::State, S::Rc},
        {"定位状态", "position_state", "", K::State, S::Position},
        {"定向状态", "heading_state", "", K::State, S::Heading},
        {"链路状态", "link_state", "", K::State, S::Link},
        {"解锁状态", "armed_state", "", K::State, S::Armed},
        {"电池状态", "battery_state", "", K::State, S::Battery},
        {"飞控供电电压", "fcu_vol", "V"},
        {"工作状态", "work_state", "", K::State, S::Work},
        {"IMU传感器状态", "imu_sensor_state", ""},
        {"方向角传感器状态", "heading_sensor_state", ""},
        {"GNSS HDOP", "gnss_hdop", ""},
        {"GNSS VDOP", "gnss_vdop", ""},
        {"GNSS定位状态", "gnss_position_state", ""},
        {"组合导航状态", "integrated_nav_state", ""},
        {"应急保护", "emergency_protect", ""},
        {"累计飞行时间", "total_flight_time_s", "s", K::Duration},
        {"本次飞行时间", "current_flight_time_s", "s", K::Duration},
        {"预计剩余飞行时间", "surplus_flight_time_s", "s", K::Duration},
        {"起飞项检查", "takeoff_check", "", K::TakeoffCheck},
    };
    c.insert(c.end(), status.begin(), status.end());
    for (int i = 0; i < 30; ++i) {
        numbered.push_back("res" + std::to_string(i));
        numbered.push_back("res_" + std::to_string(i));
    }
    for (int i = 0; i < 30; ++i)
        c.push_back({numbered[size_t(32 + 2 * i)].c_str(), numbered[size_t(32 + 2 * i + 1)].c_str(), ""});
    return c;
}

struct StateEntry {
    const char* recorded;
    const char* english;
};

// Index = code, as the flight status item words them.
const std::vector<StateEntry>& stateTable(StateSet set)
{
    static const std::vector<StateEntry> none;
    static const std::vector<StateEntry> mode = {{"姿态模式", "attitude"},
                                                 {"手动模式", "manual"},
                                                 {"定高模式", "altitude hold"},
                                                 {"自动模式", "auto"},
                                                 {"引导模式", "guided"},
                                                 {"定点模式", "position hold"},
                                                 {"返航模式", "return"},
                                                 {"环绕模式", "orbit"},
                                                 {"起飞模式", "take-off"},
                                                 {"降落模式", "land"},
                                                 {"光流定点模式", "optical flow hold"},
                                                 {"跟随模式", "follow"}};
    static const std::vector<StateEntry> flight = {
        {"未飞行", "not flying"}, {"爬升中", "climbing"}, {"悬停中", "hovering"},         {"航行中", "cruising"},
        {"下降中", "descending"}, {"怠速中", "idling"},   {"手动飞行中", "manual flight"}};
    static const std::vector<StateEntry> rc = {{"丢失", "lost"}, {"正常", "ok"}};
    static const std::vector<StateEntry> position = {
        {"未定位", "no fix"}, {"单点", "single point"}, {"伪距差分", "pseudo-range differential"}, {"RTK差分", "RTK"}};
    static const std::vector<StateEntry> heading = {{"未定向", "no heading"}, {"已定向", "heading ok"}};
    static const std::vector<StateEntry> link = {{"链路丢失", "lost"}, {"链路正常", "ok"}};
    static const std::vector<StateEntry> armed = {{"未解锁", "disarmed"}, {"已解锁", "armed"}};
    static const std::vector<StateEntry> battery = {
        {"正常", "normal"}, {"电池低电压", "low"}, {"电池严重低电压", "critical"}};
    static const std::vector<StateEntry> work = {{"", ""},
                                                 {"初始化失败", "init failed"},
                                                 {"初始化成功", "initialised"},
                                                 {"在地面", "on ground"},
                                                 {"怠速中", "idling"},
                                                 {"飞行中", "flying"}};
    switch (set) {
    case StateSet::FlightMode: return mode;
    case StateSet::FlightState: return flight;
    case StateSet::Rc: return rc;
    case StateSet::Position: return position;
    case StateSet::Heading: return heading;
    case StateSet::Link: return link;
    case StateSet::Armed: return armed;
    case StateSet::Battery: return battery;
    case StateSet::Work: return work;
    case StateSet::None: break;
    }
    return none;
}

struct CheckBit {
    const char* ok;
    int bit;
};
// Bit 0 set forbids take-off; the others are set when the part is healthy.
constexpr CheckBit kCheckBits[] = {{"禁止起飞", 0x01},   {"IMU正常", 0x02},  {"方向角正常", 0x04},
                                   {"遥控器正常", 0x08}, {"GNSS正常", 0x10}, {"定向信号正常", 0x20},
                                   {"电池正常", 0x40}};
constexpr const char* kCheckEnglish[][2] = {{"take-off allowed", "take-off forbidden"},
                                            {"IMU fault", "IMU ok"},
                                            {"heading sensor fault", "heading sensor ok"},
                                            {"RC lost", "RC ok"},
                                            {"GNSS lost", "GNSS ok"},
                                            {"heading signal lost", "heading signal ok"},
                                            {"battery fault", "battery ok"}};

bool wholeNumber(std::string_view cell, double& value)
{
    int n = 0;
    const auto [end, ec] = std::from_chars(cell.data(), cell.data() + cell.size(), n);
    if (ec != std::errc() || end != cell.data() + cell.size())
        return false;
    value = n;
    return true;
}

}  // namespace

const std::vector<Column>& columns()
{
    static const std::vector<Column> table = buildColumns();
    return table;
}

int columnByKey(std::string_view key)
{
    const auto& c = columns();
    for (size_t i = 0; i < c.size(); ++i)
        if (key == c[i].key)
            return int(i);
    return -1;
}

std::string sourceText(std::string_view english)
{
    // Translation -> source, from the catalogue built into this program; the first source wins
    // when two share a translation.
    static const auto index = [] {
        std::unordered_map<std::string, std::string> m;
        QFile file(QStringLiteral(":/flightlog/VelmoraCore_en.ts"));
        if (!file.open(QIODevice::ReadOnly))
            return m;
        QXmlStreamReader xml(&file);
        QString source;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == QLatin1String("source"))
                source = xml.readElementText();
            else if (xml.name() == QLatin1String("translation"))
                m.emplace(xml.readElementText().trimmed().toStdString(), source.toStdString());
        }
        return m;
    }();
    if (const auto it = index.find(std::string(english)); it != index.end())
        return it->second;
    // Numbered texts ("Motor 3") come from one source with "%1" in it.
    const size_t digit = english.find_first_of("0123456789");
    if (digit == std::string_view::npos)
        return {};
    const size_t end = std::min(english.find_first_not_of("0123456789", digit), english.size());
    const std::string number(english.substr(digit, end - digit));
    const auto it = index.find(std::string(english.substr(0, digit)) + "%1" + std::string(english.substr(end)));
    if (it == index.end() || it->second.find("%1") == std::string::npos)
        return {};
    std::string source = it->second;
    return source.replace(source.find("%1"), 2, number);
}

int columnByTitle(std::string_view title)
{
    static const auto index = [] {
        std::unordered_map<std::string_view, int> m;
        const auto& c = columns();
        for (size_t i = 0; i < c.size(); ++i)
            m.emplace(c[i].title, int(i));
        return m;
    }();
    if (const auto it = index.find(title); it != index.end())
        return it->second;
    const std::string source = sourceText(title);
    const auto it = source.empty() ? index.end() : index.find(source);
    return it == index.end() ? -1 : it->second;
}

bool stateCode(StateSet set, std::string_view cell, double& code)
{
    const auto& table = stateTable(set);
    for (size_t i = 0; i < table.size(); ++i) {
        if (*table[i].recorded && cell == table[i].recorded) {
            code = double(i);
            return true;
        }
    }
    if (wholeNumber(cell, code))
        return true;
    const std::string source = sourceText(cell);
    return !source.empty() && source != cell && stateCode(set, source, code);
}

std::string stateText(StateSet set, int code)
{
    const auto& table = stateTable(set);
    return code >= 0 && size_t(code) < table.size() ? table[size_t(code)].english : "";
}

bool takeoffCheckBits(std::string_view cell, double& bits)
{
    if (cell.find("允许起飞") == std::string_view::npos && cell.find("禁止起飞") == std::string_view::npos) {
        if (wholeNumber(cell, bits))
            return true;
        // English parts joined by "; ": each back to its source text.
        std::string source;
        for (size_t at = 0; at <= cell.size();) {
            const size_t end = std::min(cell.find("; ", at), cell.size());
            const std::string part = sourceText(cell.substr(at, end - at));
            if (part.empty())
                return false;
            source += part + "；";
            at = end + 2;
        }
        return source.find("起飞") != std::string::npos && takeoffCheckBits(source, bits);
    }
    int value = 0;
    for (const auto& b : kCheckBits)
        if (cell.find(b.ok) != std::string_view::npos)
            value |= b.bit;
    bits = value;
    return true;
}

std::string takeoffCheckText(int bits)
{
    std::string text;
    for (int i = 0; i < 7; ++i) {
        if (i > 0)
            text += "; ";
        text += kCheckEnglish[i][(bits >> i) & 1];
    }
    return text;
}

}  // namespace flightlog
