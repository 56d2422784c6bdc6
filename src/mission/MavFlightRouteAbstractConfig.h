#pragma once
// The configuration part of a flight route: identity (a UUID text), name, route number and
// repeat count. The two concrete kinds are MavMultiPointRouteConfig and MavAreaRouteConfig;
// type() tells them apart and is what the route JSON stores as "type".
// Main thread only. Setters store and signal only real changes.

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

enum class MavFlightRouteType : int {
    MultiPoint = 1,
    Area = 2,
};

class MavFlightRouteAbstractConfig : public QObject {
    Q_OBJECT
public:
    MavFlightRouteAbstractConfig(const QString& id, QObject* parent = nullptr);
    // Gives the config a fresh UUID text as id.
    explicit MavFlightRouteAbstractConfig(QObject* parent = nullptr);
    ~MavFlightRouteAbstractConfig() override = default;

    virtual MavFlightRouteType type() const = 0;

    QString id() const { return m_id; }
    void setId(const QString& id);
    QString name() const { return m_name; }
    void setName(const QString& name);
    uint8_t number() const { return m_number; }
    void setNumber(uint8_t number);
    uint8_t repeatTimes() const { return m_repeatTimes; }
    void setRepeatTimes(uint8_t times);

signals:
    void idChanged();
    void nameChanged();
    void numberChanged();
    void repeatTimesChanged();

private:
    QString m_name;
    QString m_id;
    uint8_t m_number = 0;
    uint8_t m_repeatTimes = 0;
};

using MavFlightRouteAbstractConfigPtr = std::shared_ptr<MavFlightRouteAbstractConfig>;
