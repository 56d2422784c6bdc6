#pragma once
// Plays a flight log as a vehicle over UDP, so that a station shows a past flight: heartbeats to
// the station, and each telemetry request (0x20) answered with the six telemetry records built
// from the row current at the replay clock (the log's own times, sped up by the rate). Finishes
// when the clock passes the last row.

#include "FlightLog.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

#include <vector>

namespace flightlog {

class FlightLogReplay : public QObject {
    Q_OBJECT
public:
    struct Options {
        QHostAddress host;
        quint16 port = 0;
        quint16 listenPort = 0;  // 0: any free port
        double rate = 1.0;
        int vehicleId = 1;
    };
    FlightLogReplay(const FlightLog& log, Options options, QObject* parent = nullptr);

    bool start(QString* error);
    quint16 localPort() const { return m_socket.localPort(); }
    // Six telemetry frames, serialised back to back.
    std::vector<uint8_t> telemetryAnswer(size_t row, uint8_t seq) const;

signals:
    void finished();

private:
    void sendHeartbeat();
    void readRequests();
    size_t currentRow() const;

    const FlightLog& m_log;
    Options m_options;
    QUdpSocket m_socket;
    QTimer m_heartbeat;
    QElapsedTimer m_clock;
    uint8_t m_heartbeatSeq = 0;
    uint8_t m_teleSeq = 0;
};

}  // namespace flightlog
