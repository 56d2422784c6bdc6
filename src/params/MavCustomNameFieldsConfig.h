#pragma once
// One set of custom field names (reserved parameters or reserved telemetry) and its ".gfn" JSON
// form:
//   {"fields": [{"customName": "...", "eid": "3", "name": "res3"}, ...], "name": "..."}
// written with nlohmann-json's dump at indent 0 (one member per line, no indentation), keys in
// the library's sorted order, text as UTF-8 with invalid sequences replaced.
//
// The set's fields are fixed at construction: loading only changes customName values (and the
// set's name), matching fields by the exact eid text; unknown ids are ignored. Loading from
// bytes takes the set's name before it checks "fields", so a file refused for a missing "fields"
// still renames the set (the names of the fields stay as they were).

#include "common/MavCustomNameField.h"

#include <QByteArray>
#include <QString>

#include <vector>

class MavCustomNameFieldsConfig {
public:
    MavCustomNameFieldsConfig() = default;
    explicit MavCustomNameFieldsConfig(const std::vector<MavCustomNameFieldPtr>& fields);

    QString name() const { return m_name; }
    void setName(const QString& name) { m_name = name; }
    // The set's own field objects; a copy of the list, not of the fields.
    std::vector<MavCustomNameFieldPtr> nameFields() const { return m_fields; }

    // Copies the customName of each given field into the set's field with the same eid.
    bool loadFromData(const std::vector<MavCustomNameFieldPtr>& fields);
    // False (with a log line) when the bytes are not a JSON object with a "fields" array. A
    // member of "fields" without string "eid" and "customName" is skipped with a log line.
    bool loadFromData(const QByteArray& bytes);
    bool saveToData(QByteArray& bytes) const;

private:
    MavCustomNameFieldPtr findField(const QString& eid) const;

    QString m_name;
    std::vector<MavCustomNameFieldPtr> m_fields;
};

using MavCustomNameFieldsConfigPtr = std::shared_ptr<MavCustomNameFieldsConfig>;
