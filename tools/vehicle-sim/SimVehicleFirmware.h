#pragma once
// The firmware of one simulated vehicle: takes an image from the station (0xA1 reset, 0xA2 frame
// count and size, 0xA3 data frames), checks it and reports the new version afterwards.
//
// Image format: "VLFW", 6 Latin-1 version characters, the body, then the CRC-32 (zlib) of every
// byte before it, little-endian.
//
// 0xA1 forgets any transfer in progress and answers 0. 0xA2 opens a transfer (0), refused with 8
// when the count does not fit the size. 0xA3 keeps the frame under its index (a repeat is stored
// and answered again) and answers 0 and the index; refused with 6 without an open transfer, 8 for
// an index past the count or a length other than 512 (the last: the remainder). Once every frame
// is in, the image is checked and the final ack (0xA4, seq 0; 0 verified, else 4) leaves once,
// fwFinalDelayMs later. Then a verified image becomes the running version (the basic parameters'
// version), and the vehicle is silent for rebootMs as it restarts; a data frame resent after that
// finds no open transfer.
//
// Faults (SimOptions): fwRejectFrame answers that index with 1 and drops it; fwNoFinalAck sends
// no final ack (and installs nothing); fwCorrupt spoils one stored byte, so the check fails;
// fwEarlyFinalAck sends the final ack at once, before the ack of the frame that completed the
// image (as a vehicle whose last data ack was lost is seen from the station).

#include "SimVehicle.h"

#include <QByteArray>
#include <QString>
#include <QTimer>

#include <optional>
#include <vector>

class SimVehicleFirmware {
public:
    static constexpr uint8_t kResultRejected = 1;
    static constexpr uint8_t kResultBadImage = 4;

    // Registers the firmware commands, and wraps the basic parameters read so that it reports
    // the running version.
    SimVehicleFirmware(SimVehicle& vehicle, const SimOptions& options);

    QString version() const { return m_version; }
    // The last complete image as stored (empty before one).
    const QByteArray& image() const { return m_image; }
    // Firmware info accepted and the image not yet installed.
    bool transferOpen() const { return m_open; }
    // Checks an image; on success sets version to its characters.
    static bool verify(const QByteArray& image, QString* version = nullptr);
    // Wraps a body and a version into an image of the format above (tests and benchmarks).
    static QByteArray makeImage(const QString& version, const QByteArray& body);

private:
    SimVehicle::Reply handleReset(const _MavPFrame_t& frame);
    SimVehicle::Reply handleInfo(const _MavPFrame_t& frame);
    SimVehicle::Reply handleData(const _MavPFrame_t& frame);
    void imageComplete();
    void sendFinalAck();

    SimVehicle& m_vehicle;
    const SimOptions& m_options;
    QString m_version;
    bool m_versionChanged = false;
    std::vector<std::optional<std::vector<uint8_t>>> m_frames;
    uint32_t m_size = 0;
    bool m_open = false;
    bool m_complete = false;
    QByteArray m_image;
    QString m_imageVersion;
    uint8_t m_verdict = 0;
    QTimer m_finalAckTimer;
};
