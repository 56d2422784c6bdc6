#pragma once
// What the station as a whole offers its front ends beside the vehicle services: the vehicle
// link, the program's identity, and the station-wide controllers that address no vehicle (the
// zone set and its sync, the account, the fleet broker, the bridge's status). The program that
// wires the station (app/) implements it, so no front end includes app/.
//
// The link request is typed; a front end parses its own input into one.

#include "fleet/FleetReadModel.h"

#include <QMetaObject>
#include <QObject>
#include <QString>

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>

class FleetPublisher;
class GcsConsoleHandler;
class GcsLoginManager;
class GcsMqttController;
class MultiVehicleManager;
class MyVehicleController;
class NfzSyncController;
class NfzZoneManager;

namespace svc {

class VehicleServices;

struct LinkRequest {
    enum class Type { Serial, Udp };
    Type type = Type::Udp;
    QString serialPort;
    int baudrate = 0;
    quint16 localPort = 0;  // udp: where the station listens
    quint16 vehiclePort = 0;  // udp: where the vehicles listen
    QString broadcastAddress;  // udp: empty for unicast to the heard address
};

struct ConnectionState {
    std::string mode;  // "None", "Local", "RemoteMonitor"
    bool connected = false;
    std::optional<int> activeVehicleId;
    std::optional<std::string> activeVehicleCode;
    // What the operator should know about the link ("no vehicle heard on port N yet ...").
    std::optional<std::string> note;
};

class StationPort {
public:
    virtual ~StationPort() = default;

    virtual VehicleServices* services() const = 0;

    // "" when the open was started, else why not. The outcome arrives through onLinkOpened.
    virtual QString connectLink(const LinkRequest& request) = 0;
    virtual void disconnectLink() = 0;
    virtual ConnectionState connectionState() const = 0;
    // Calls `fn(ok, why)` on every link open result until the returned connection is dropped.
    virtual QMetaObject::Connection onLinkOpened(QObject* context, std::function<void(bool, QString)> fn) = 0;

    virtual QString protocolVersion() const = 0;
    virtual std::shared_ptr<FleetPublisher> fleetPublisher() const = 0;
    // The MAVLink bridge's status document; empty without a bridge.
    virtual std::function<nlohmann::json()> bridgeStatus() const = 0;

    virtual std::shared_ptr<NfzZoneManager> zoneSet() const = 0;
    virtual std::shared_ptr<NfzSyncController> zoneSync() const = 0;
    virtual MultiVehicleManager* vehicles() const = 0;
    // The fleet's objects for the read model (the fleet documents, the vehicles' states).
    virtual FleetReadModel::Sources fleetSources() const = 0;
    virtual std::shared_ptr<GcsConsoleHandler> console() const = 0;

    // Account services; null when the station has no cloud client.
    virtual std::shared_ptr<GcsLoginManager> account() const = 0;
    virtual std::shared_ptr<MyVehicleController> accountVehicles() const = 0;
    virtual std::shared_ptr<GcsMqttController> remoteMonitor() const = 0;
};

}  // namespace svc
