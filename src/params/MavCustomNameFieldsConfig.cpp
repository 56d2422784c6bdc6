#include "MavCustomNameFieldsConfig.h"

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <string>

using nlohmann::json;

namespace {

QString qstr(const json& value)
{
    const auto& s = value.get_ref<const std::string&>();
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

std::string utf8(const QString& s)
{
    return s.toStdString();
}

}  // namespace

MavCustomNameFieldsConfig::MavCustomNameFieldsConfig(const std::vector<MavCustomNameFieldPtr>& fields)
    : m_fields(fields)
{
}

MavCustomNameFieldPtr MavCustomNameFieldsConfig::findField(const QString& eid) const
{
    for (const auto& field : m_fields) {
        if (field && field->eid == eid)
            return field;
    }
    return nullptr;
}

bool MavCustomNameFieldsConfig::loadFromData(const std::vector<MavCustomNameFieldPtr>& fields)
{
    for (const auto& given : fields) {
        if (!given)
            continue;
        if (auto field = findField(given->eid))
            field->customName = given->customName;
    }
    return true;
}

bool MavCustomNameFieldsConfig::loadFromData(const QByteArray& bytes)
{
    const json doc = json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
    if (doc.is_discarded()) {
        spdlog::warn("<CustomFields> loadFromData failed, file format error");
        return false;
    }
    if (!doc.is_object()) {
        spdlog::warn("<CustomFields> loadFromData failed, file data is not object");
        return false;
    }

    const auto name = doc.find("name");
    m_name = name != doc.end() && name->is_string() ? qstr(*name) : QString();

    const auto fields = doc.find("fields");
    if (fields == doc.end() || !fields->is_array()) {
        spdlog::warn("<CustomFields> loadFromData failed, <fields> is lost or is not array");
        return false;
    }
    for (const auto& entry : *fields) {
        const bool usable = entry.is_object() && entry.contains("eid") && entry["eid"].is_string() &&
                            entry.contains("customName") && entry["customName"].is_string();
        if (!usable) {
            spdlog::warn("<CustomFields> lost eid or customName of customField, ignore the field");
            continue;
        }
        if (auto field = findField(qstr(entry["eid"])))
            field->customName = qstr(entry["customName"]);
    }
    return true;
}

bool MavCustomNameFieldsConfig::saveToData(QByteArray& bytes) const
{
    json fields = json::array();
    for (const auto& field : m_fields) {
        if (!field)
            continue;
        fields.push_back(
            {{"eid", utf8(field->eid)}, {"name", utf8(field->name)}, {"customName", utf8(field->customName)}});
    }
    const json doc = {{"name", utf8(m_name)}, {"fields", std::move(fields)}};
    try {
        const std::string text = doc.dump(0, ' ', false, json::error_handler_t::replace);
        bytes = QByteArray(text.data(), qsizetype(text.size()));
    } catch (const std::exception& e) {
        spdlog::error("<CustomFields> saveToData failed: {}", e.what());
        return false;
    }
    return true;
}
