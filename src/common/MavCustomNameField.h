#pragma once
// A user-chosen display name for one reserved element: the element id as decimal text, the
// element's default name and the name to show instead (equal to name until the user edits it).

#include <QString>

#include <spdlog/spdlog.h>

#include <memory>
#include <string>
#include <vector>

class MavCustomNameField {
public:
    MavCustomNameField() = default;
    MavCustomNameField(const QString& eid, const QString& name, const QString& customName)
        : eid(eid)
        , name(name)
        , customName(customName)
    {
    }

    QString eid;
    QString name;
    QString customName;
};

using MavCustomNameFieldPtr = std::shared_ptr<MavCustomNameField>;

// Gives every element whose id a field names (decimal text) that field's custom name. A key that
// is not a number is skipped with a warning under `tag`. True when any element was relabelled.
template <typename ElementList>
bool applyCustomNameFields(const std::vector<MavCustomNameFieldPtr>& fields, const ElementList& elements,
                           const char* tag)
{
    bool changed = false;
    for (const auto& field : fields) {
        if (!field)
            continue;
        bool ok = false;
        const int id = field->eid.toInt(&ok, 10);
        if (!ok) {
            spdlog::warn("{} custom name key '{}' is not an element id", tag, field->eid.toStdString());
            continue;
        }
        for (const auto& element : elements) {
            if (int(element->id()) == id) {
                element->setDisplayName(field->customName);
                changed = true;
                break;
            }
        }
    }
    return changed;
}
