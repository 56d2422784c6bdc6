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

#include "SimCounters.h"
#include "SimFaultInjector.h"
#include "SimFrameCutter.h"
#include "SimOptions.h"
#include "SimTransport.h"
#include "SimVehicle.h"

#include <QObject>
#include <QTimer>

#include <map>

class VehicleSimulator : public QObject {
    Q_OBJECT
public:
    explicit VehicleSimulator(SimOptions options, QObject* parent = nullptr);
    ~VehicleSimulator() override;

    // Validates the options, opens the transport, creates the vehicles and sends their first
    // heartbeats. On failure returns false with the reason in `error` (also logged).
    bool start(QString* error = nullptr);
    void stop();
    bool isRunning() const { return m_running; }

    const SimOptions& options() const { return m_options; }
    // Bound UDP ports (0 for serial, or for no second port).
    quint16 listenPort() const;
    quint16 recvPort() const;

    SimVehicle* vehicle(int id) const;
    QList<SimVehicle*> vehicles() const;
    SimFaultInjector* faultInjector() const { return m_faults; }
    SimCounters counters() const;

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
    void handleWireFrame(QByteArray wire, _MavPFrame_t frame);
    void sendFrames(const std::vector<_MavPFrame_t>& frames);
    bool logFrames() const;

    SimOptions m_options;
    bool m_running = false;
    SimTransport* m_transport = nullptr;
    SimFaultInjector* m_faults = nullptr;
    std::map<int, SimFrameCutter> m_cutters;
    std::map<int, SimVehicle*> m_vehicles;
    QTimer m_heartbeatTimer;
    QTimer m_stepTimer;
    quint64 m_foreignFrames = 0;
    quint64 m_injectedCrcErrors = 0;
    quint64 m_sendFailures = 0;
};
