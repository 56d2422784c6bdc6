#include "SimVehicleFirmware.h"

#include "MavProtoFirmwareProcesser.h"
#include "MavProtoParamsRecords.h"

#include <spdlog/spdlog.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

using P = MavProtoFirmwareProcesser;
using Reply = SimVehicle::Reply;

namespace {
constexpr char kMagic[] = "VLFW";
constexpr int kHeaderSize = 4 + 6;

uint32_t crcOf(const char* data, qsizetype len)
{
    return uint32_t(crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data), uInt(len)));
}
}  // namespace

SimVehicleFirmware::SimVehicleFirmware(SimVehicle& vehicle, const SimOptions& options)
    : m_vehicle(vehicle)
    , m_options(options)
    , m_version(options.fwVersion)
{
    m_finalAckTimer.setSingleShot(true);
    QObject::connect(&m_finalAckTimer, &QTimer::timeout, &m_vehicle, [this] { sendFinalAck(); });
    m_vehicle.registerCommand(MavCmd::FirmwareReset, [this](const _MavPFrame_t& f) { return handleReset(f); });
    m_vehicle.registerCommand(MavCmd::FirmwareInfo, [this](const _MavPFrame_t& f) { return handleInfo(f); });
    m_vehicle.registerCommand(MavCmd::FirmwareData, [this](const _MavPFrame_t& f) { return handleData(f); });

    // The parameters keep the version they were created with; reads report the running one.
    auto basicRead = m_vehicle.commandHandler(MavCmd::BasicParams);
    if (!basicRead)
        return;
    m_vehicle.registerCommand(MavCmd::BasicParams, [this, basicRead](const _MavPFrame_t& f) {
        Reply reply = basicRead(f);
        if (!reply.pack || (!m_versionChanged && m_version == QLatin1String(SimParams::kVersion)))
            return reply;
        reply.pack = [pack = reply.pack, version = m_version.toLatin1()](_MavPFrame_t& out, uint8_t id, uint8_t seq,
                                                                         uint8_t result) {
            const uint16_t len = pack(out, id, seq, result);
            constexpr size_t at = offsetof(MavProtoBasicParamsWire_t, version);
            if (len != 0 && out.data.size() >= at + 6)
                std::memcpy(out.data.data() + at, version.constData(), 6);
            return len;
        };
        return reply;
    });
}

bool SimVehicleFirmware::verify(const QByteArray& image, QString* version)
{
    if (image.size() < kHeaderSize + 4 || !image.startsWith(kMagic))
        return false;
    const qsizetype n = image.size() - 4;
    uint32_t stored = 0;
    for (int i = 3; i >= 0; --i)
        stored = (stored << 8) | uint8_t(image[n + i]);
    if (stored != crcOf(image.constData(), n))
        return false;
    if (version)
        *version = QString::fromLatin1(image.mid(4, 6));
    return true;
}

QByteArray SimVehicleFirmware::makeImage(const QString& version, const QByteArray& body)
{
    QByteArray image = QByteArray(kMagic) + version.toLatin1().leftJustified(6, '\0', true) + body;
    const uint32_t crc = crcOf(image.constData(), image.size());
    for (int i = 0; i < 4; ++i)
        image.append(char((crc >> (8 * i)) & 0xFF));
    return image;
}

Reply SimVehicleFirmware::handleReset(const _MavPFrame_t&)
{
    m_open = false;
    m_complete = false;
    m_frames.clear();
    m_finalAckTimer.stop();
    spdlog::info("<VehicleSim> vehicle {} ready for a firmware image", m_vehicle.id());
    return Reply{};
}

Reply SimVehicleFirmware::handleInfo(const _MavPFrame_t& frame)
{
    uint16_t count = 0;
    uint32_t size = 0;
    if (!P::parseFirmInfoReq(frame, count, size) || size == 0 || count != P::frameCount(size)) {
        spdlog::warn("<VehicleSim> vehicle {} refuses firmware info: {} bytes of payload, {} frames for {} bytes",
                     m_vehicle.id(), frame.data.size(), count, size);
        return Reply{true, SimVehicle::kResultOutOfRange};
    }
    m_open = true;
    m_complete = false;
    m_size = size;
    m_frames.assign(count, std::nullopt);
    spdlog::info("<VehicleSim> vehicle {} receives a firmware image of {} bytes in {} frames", m_vehicle.id(), size,
                 count);
    return Reply{};
}

Reply SimVehicleFirmware::handleData(const _MavPFrame_t& frame)
{
    uint16_t index = 0;
    std::vector<uint8_t> data;
    if (!P::parseFirmDataReq(frame, index, data)) {
        spdlog::warn("<VehicleSim> vehicle {} firmware data payload of {} bytes", m_vehicle.id(), frame.data.size());
        return Reply{true, SimVehicle::kResultOutOfRange};
    }
    const std::vector<uint8_t> echo{uint8_t(index & 0xFF), uint8_t(index >> 8)};
    if (int(index) == m_options.fwRejectFrame) {
        spdlog::info("<VehicleSim> vehicle {} rejects firmware frame {}", m_vehicle.id(), index);
        return Reply{true, kResultRejected, echo};
    }
    if (!m_open) {
        spdlog::warn("<VehicleSim> vehicle {} firmware frame {} without firmware info", m_vehicle.id(), index);
        return Reply{true, SimVehicle::kResultRefused, echo};
    }
    const size_t expected =
        index + 1u == m_frames.size() && m_size % P::kMaxFrameData ? m_size % P::kMaxFrameData : P::kMaxFrameData;
    if (index >= m_frames.size() || data.size() != expected) {
        spdlog::warn("<VehicleSim> vehicle {} firmware frame {} of {} bytes does not fit {} frames of {} bytes",
                     m_vehicle.id(), index, data.size(), m_frames.size(), m_size);
        return Reply{true, SimVehicle::kResultOutOfRange, echo};
    }
    m_frames[index] = std::move(data);
    if (!m_complete && std::all_of(m_frames.begin(), m_frames.end(), [](const auto& f) { return f.has_value(); }))
        imageComplete();
    return Reply{true, 0, echo};
}

void SimVehicleFirmware::imageComplete()
{
    m_complete = true;
    m_image.clear();
    for (const auto& f : m_frames)
        m_image.append(reinterpret_cast<const char*>(f->data()), qsizetype(f->size()));
    if (m_options.fwCorrupt)
        m_image[m_image.size() / 2] = char(m_image[m_image.size() / 2] ^ 0x5A);
    m_verdict = verify(m_image, &m_imageVersion) ? 0 : kResultBadImage;
    spdlog::info("<VehicleSim> vehicle {} holds a firmware image of {} bytes: {}", m_vehicle.id(), m_image.size(),
                 m_verdict == 0 ? "verified" : "check failed");
    if (m_options.fwNoFinalAck) {
        spdlog::info("<VehicleSim> vehicle {} sends no final ack", m_vehicle.id());
        return;
    }
    if (m_options.fwEarlyFinalAck) {
        // The reply to the frame being handled leaves after this, restart or not.
        spdlog::info("<VehicleSim> vehicle {} sends its final ack before the last data ack", m_vehicle.id());
        sendFinalAck();
        return;
    }
    m_finalAckTimer.start(m_options.fwFinalDelayMs);
}

void SimVehicleFirmware::sendFinalAck()
{
    _MavPFrame_t ack;
    P::packFinalAck(ack, m_vehicle.id(), m_verdict);
    m_vehicle.sendFrame(ack);
    if (m_verdict != 0 || !m_open)
        return;
    m_open = false;
    std::printf("firmware updated: vehicle %d, version %s -> %s\n", m_vehicle.id(), qPrintable(m_version),
                qPrintable(m_imageVersion));
    std::fflush(stdout);
    spdlog::info("<VehicleSim> vehicle {} restarts with firmware {}", m_vehicle.id(), m_imageVersion.toStdString());
    m_version = m_imageVersion;
    m_versionChanged = true;
    m_vehicle.silenceFor(m_options.rebootMs);
}
