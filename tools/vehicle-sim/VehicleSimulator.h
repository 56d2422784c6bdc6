#pragma once
// The simulator: one transport shared by all vehicles, the fault injector between them, and the
// vehicles, told apart by each frame's rx_id. Runs on the thread that owns it.
//
// Receive path: transport bytes -> one frame cutter per byte stream -> fault injector (loss,
// corruption; a corrupted frame fails its check and is counted) -> frames from the station
// (tx_id 0x81) for a simulated id go to that vehicle; all others are counted and ignored.
// Send path: vehicle frame(s) -> wire bytes -> fault injector (loss and corruption per frame,
// latency) -> transport: a heartbeat or an acknowledgement is one datagram or write, a
// telemetry answer is one datagram or write holding all its surviving frames (a hundred
// vehicles polled every 50 ms would otherwise send 12,000 datagrams a second).
// One timer steps every vehicle's flight model by SimOptions::stepMs while running.
//
// Vehicles are found by their current id, which a parameter write can change (SimVehicle); no
// two vehicles ever share one. With SimOptions::paramsFile the vehicles start from their stored
// parameters (SimParamsStore) and every accepted write or reset is saved before it is answered;
// a failed save is logged and counted, the vehicle keeps the new values.
//
// With SimOptions::mqttUri a SimMqttPublisher publishes each vehicle's position and status under
// its vehicle code: from its flight model when there is a link, flying SimMqttPublisher::orbit()
// around its home without one (Transport::None: no transport, no frames, the models still step).

#include "SimCounters.h"
#include "SimFaultInjector.h"
#include "SimFrameCutter.h"
#include "SimLatencyProbe.h"
#include "SimMqttPublisher.h"
#include "SimOptions.h"
#include "SimParamsStore.h"
#include "SimTransport.h"
#include "SimVehicle.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <map>
#include <memory>

class VehicleSimulator : public QObject {
    Q_OBJECT
public:
    explicit VehicleSimulator(SimOptions options, QObject* parent = nullptr);
    ~VehicleSimulator() override;

    enum class Failure { None, Options, ParamsFile, Transport };

    // Validates the options, creates the vehicles (reading the params file), opens the
    // transport and sends the first heartbeats. On failure returns false with the reason in
    // `error` (also logged) and its kind in lastFailure().
    bool start(QString* error = nullptr);
    Failure lastFailure() const { return m_failure; }
    void stop();
    bool isRunning() const { return m_running; }

    const SimOptions& options() const { return m_options; }
    // Bound UDP ports (0 for serial, or for no second port).
    quint16 listenPort() const;
    quint16 recvPort() const;

    // By current id.
    SimVehicle* vehicle(int id) const;
    QList<SimVehicle*> vehicles() const;
    SimFaultInjector* faultInjector() const { return m_faults; }
    SimCounters counters() const;
    // Null without SimOptions::mqttUri or before start().
    const SimMqttPublisher* mqttPublisher() const { return m_mqtt; }

signals:
    // The transport broke down after start; the simulator has stopped.
    void transportFailed(const QString& error);

private slots:
    void handleBytesReceived(const QByteArray& bytes, int channel);
    void handleFrameReady(const QByteArray& bytes);
    void handleHeartbeatTimeout();
    void handleStepTimeout();
    void handleTransportFailed(const QString& error);

private:
    bool createVehicles(QString& error);
    void handleVehicleIdChanged(SimVehicle* vehicle, int oldId, int newId);
    void saveParams(const SimVehicle* vehicle);
    void handleWireFrame(QByteArray wire, _MavPFrame_t frame);
    void sendFrames(const std::vector<_MavPFrame_t>& frames);
    bool logFrames() const;
    std::vector<SimMqttPublisher::Sample> mqttSamples() const;

    SimOptions m_options;
    bool m_running = false;
    Failure m_failure = Failure::None;
    std::unique_ptr<SimParamsStore> m_store;
    std::unique_ptr<SimLatencyProbe> m_probe;
    SimTransport* m_transport = nullptr;
    SimFaultInjector* m_faults = nullptr;
    SimMqttPublisher* m_mqtt = nullptr;
    QElapsedTimer m_clock;  // since start: the orbit flown without a link
    std::map<int, SimFrameCutter> m_cutters;
    std::map<int, SimVehicle*> m_vehicles;
    QTimer m_heartbeatTimer;
    QTimer m_stepTimer;
    quint64 m_foreignFrames = 0;
    quint64 m_injectedCrcErrors = 0;
    quint64 m_sendFailures = 0;
    quint64 m_statusRecordsOut = 0;
    quint64 m_paramsSaveFailures = 0;
};
