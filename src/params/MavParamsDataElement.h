#pragma once
// One reserved parameter as a table shows it: id, built-in name, the user's name for it, the value
// as text and its unit. A plain value; the item that owns it rewrites value and displayName.

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

class MavBaseParamsDataItem;

class MavParamsDataElement {
    Q_GADGET
public:
    // Res0 .. Res29 stand for the reserved parameters res0 .. res29; no other id is used.
    enum ParamsElementId : int32_t {
        Res0 = 0,
        Res1,
        Res2,
        Res3,
        Res4,
        Res5,
        Res6,
        Res7,
        Res8,
        Res9,
        Res10,
        Res11,
        Res12,
        Res13,
        Res14,
        Res15,
        Res16,
        Res17,
        Res18,
        Res19,
        Res20,
        Res21,
        Res22,
        Res23,
        Res24,
        Res25,
        Res26,
        Res27,
        Res28,
        Res29,
    };
    Q_ENUM(ParamsElementId)

    MavParamsDataElement() = default;
    MavParamsDataElement(ParamsElementId id, const QString& name, const QString& value, const QString& unit);

    ParamsElementId id() const { return m_id; }
    QString name() const { return m_name; }
    // The user's name when one is set, else the built-in one.
    QString displayName() const { return m_displayName.isEmpty() ? m_name : m_displayName; }
    QString value() const { return m_value; }
    // The overriding text when one is set, else the value itself.
    QString displayValue() const { return m_displayValue.isEmpty() ? m_value : m_displayValue; }
    QString unit() const { return m_unit; }
    // Empty once the item is gone; set by the user interface when it needs the way back.
    std::shared_ptr<MavBaseParamsDataItem> dataItem() const { return m_dataItem.lock(); }

    void setName(const QString& name) { m_name = name; }
    void setDisplayName(const QString& displayName) { m_displayName = displayName; }
    void setValue(const QString& value) { m_value = value; }
    void setDisplayValue(const QString& displayValue) { m_displayValue = displayValue; }
    void setUnit(const QString& unit) { m_unit = unit; }
    void setDataItem(const std::weak_ptr<MavBaseParamsDataItem>& item) { m_dataItem = item; }

private:
    ParamsElementId m_id = Res0;
    QString m_name;
    QString m_displayName;
    QString m_value;
    QString m_displayValue;
    QString m_unit;
    std::weak_ptr<MavBaseParamsDataItem> m_dataItem;
};

using MavParamsDataElementPtr = std::shared_ptr<MavParamsDataElement>;
