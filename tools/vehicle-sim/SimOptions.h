#pragma once
// What one simulator run does: transport, vehicles, answers and faults. Filled from the command
// line by the program, built directly by tests.

#include <QString>

#include <cstdint>
#include <map>
#include <set>

class QCommandLineParser;

struct SimOptions {
    enum class Transport { Udp, Serial };

    Transport transport = Transport::Udp;

    // UDP: heartbeats and answers go to the station's address; frames are received on the
    // bound port and, when recvPort is non-zero, also on a second port (a station that sends to
    // a fixed device port sees heartbeats from listenPort but sends to recvPort).
    QString stationHost = QStringLiteral("127.0.0.1");
    quint16 stationPort = 0;
    quint16 listenPort = 0;  // 0 = ephemeral
    quint16 recvPort = 0;    // 0 = no second port

    QString serialPath;
    qint32 baud = 115200;

    int count = 1;
    int firstId = 1;
    int heartbeatMs = 1000;

    // Per command byte: a forced acknowledgement result, or silence.
    std::map<uint8_t, uint8_t> ackResults;
    std::set<uint8_t> noReply;

    double loss = 0.0;
    double corrupt = 0.0;
    int latencyMs = 0;
    quint64 seed = 20240611;

    bool verbose = false;

    // Checks ranges and combinations; returns an error text, empty when the options are usable.
    QString validate() const;

    static void declareOptions(QCommandLineParser& parser);
    // Reads what declareOptions declared (the parser has parsed); returns an error text, empty
    // on success. The result is validated.
    static QString readOptions(const QCommandLineParser& parser, SimOptions& options);
};
