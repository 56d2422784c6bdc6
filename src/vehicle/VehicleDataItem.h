#pragma once
// A list item describing a vehicle of the account: code, name and local id.

#include <QObject>
#include <QString>

class VehicleDataItem : public QObject {
    Q_OBJECT
public:
    VehicleDataItem(const QString& vehicleCode = QString(), const QString& name = QString(), int localId = 0,
                    QObject* parent = nullptr)
        : QObject(parent)
        , m_vehicleCode(vehicleCode)
        , m_name(name)
        , m_vehicleLocalId(localId)
    {
    }

    QString vehicleCode() const { return m_vehicleCode; }
    QString name() const { return m_name; }
    int vehicleLocalId() const { return m_vehicleLocalId; }

    void setVehicleCode(const QString& code)
    {
        if (code == m_vehicleCode)
            return;
        m_vehicleCode = code;
        emit vehicleCodeChanged();
        emit dataChanged();
    }
    void setName(const QString& name)
    {
        if (name == m_name)
            return;
        m_name = name;
        emit nameChanged();
        emit dataChanged();
    }
    void setVehicleLocalId(int id)
    {
        if (id == m_vehicleLocalId)
            return;
        m_vehicleLocalId = id;
        emit vehicleLocalIdChanged();
        emit dataChanged();
    }

signals:
    void vehicleCodeChanged();
    void nameChanged();
    void vehicleLocalIdChanged();
    void dataChanged();

private:
    QString m_vehicleCode;
    QString m_name;
    int m_vehicleLocalId = 0;
};
