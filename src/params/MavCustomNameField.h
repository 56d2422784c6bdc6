#pragma once
// A user-chosen display name for one reserved element: the element id as decimal text, the
// element's default name and the name to show instead (equal to name until the user edits it).

#include <QString>

#include <memory>

class MavCustomNameField {
public:
    MavCustomNameField() = default;
    MavCustomNameField(const QString& eid, const QString& name, const QString& customName)
        : eid(eid), name(name), customName(customName)
    {
    }

    QString eid;
    QString name;
    QString customName;
};

using MavCustomNameFieldPtr = std::shared_ptr<MavCustomNameField>;
