#include "VehicleSimulator.h"

#include "MavProtoHelper.h"
#include "SimSerialTransport.h"
#include "SimUdpTransport.h"
#include "SimVehicleParams.h"

#include <spdlog/spdlog.h>

#include <cmath>

VehicleSimulator::VehicleSimulator(SimOptions options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
{
    connect(&m_heartbeatTimer, &QTimer::timeout, this, &VehicleSimulator::handleHeartbeatTimeout);
    m_stepTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_stepTimer, &QTimer::timeout, this, &VehicleSimulator::handleStepTimeout);
}

VehicleSimulator::~VehicleSimulator()
{
    stop();
}

bool VehicleSimulator::start(QString* error)
{
    auto fail = [&](Failure kind, const QString& text) {
        spdlog::error("<VehicleSim> cannot start: {}", text.toStdString());
        m_failure = kind;
        if (error)
            *error = text;
        return false;
    };
    m_failure = Failure::None;
    if (m_running)
        return fail(Failure::Options, QStringLiteral("already running"));
    const QString invalid = m_options.validate();
    if (!invalid.isEmpty())
        return fail(Failure::Options, invalid);
    QString paramsError;
    if (m_vehicles.empty() && !createVehicles(paramsError))
        return fail(Failure::ParamsFile, paramsError);

    delete m_transport;
    m_transport = nullptr;
    if (m_options.transport == SimOptions::Transport::Udp)
        m_transport = new SimUdpTransport(m_options.stationHost, m_options.stationPort, m_options.listenPort,
                                          m_options.recvPort, this);
    else if (m_options.transport == SimOptions::Transport::Serial)
        m_transport = new SimSerialTransport(m_options.serialPath, m_options.baud, m_options.lineRate, this);
    m_cutters.clear();  // bytes left from an earlier run are not part of this stream
    if (m_transport) {
        QString openError;
        if (!m_transport->open(openError))
            return fail(Failure::Transport, openError);
        connect(m_transport, &SimTransport::bytesReceived, this, &VehicleSimulator::handleBytesReceived);
        connect(m_transport, &SimTransport::failed, this, &VehicleSimulator::handleTransportFailed);
    }
    if (!m_options.mqttUri.isEmpty()) {
        if (!m_mqtt)
            m_mqtt = new SimMqttPublisher(
                m_options, [this] { return mqttSamples(); }, this);
        QString mqttError;
        if (!m_mqtt->start(mqttError)) {
            if (m_transport)
                m_transport->close();
            return fail(Failure::Transport, mqttError);
        }
    }

    if (!m_options.latencyProbe.isEmpty() && !m_probe) {
        auto probe = std::make_unique<SimLatencyProbe>(m_options.latencyProbe);
        QString probeError;
        if (!probe->open(probeError))
            return fail(Failure::Options, probeError);
        m_probe = std::move(probe);
        for (auto& [id, vehicle] : m_vehicles)
            vehicle->setLatencyProbe(m_probe.get());
    }
    if (!m_faults) {
        m_faults = new SimFaultInjector(m_options.loss, m_options.corrupt, m_options.latencyMs, m_options.seed, this);
        m_faults->setJitterMs(m_options.jitterMs);
        connect(m_faults, &SimFaultInjector::frameReady, this, &VehicleSimulator::handleFrameReady);
    }
    m_running = true;
    m_clock.start();
    spdlog::info("<VehicleSim> {} vehicle(s), ids {} to {}, on {}; loss {} corrupt {} latency {} ms seed {}",
                 m_options.count, m_options.firstId, m_options.vehicleIds().back(),
                 m_transport ? m_transport->describe().toStdString() : std::string("no link"), m_options.loss,
                 m_options.corrupt, m_options.latencyMs, m_options.seed);
    spdlog::info("<VehicleSim> telemetry {}, home {:.7f}, {:.7f}, step {} ms, fix after {} ms",
                 m_options.telemetry == SimOptions::Telemetry::Full ? "full" : "comprehensive", m_options.homeLat,
                 m_options.homeLon, m_options.stepMs, m_options.fixAfterMs);
    m_stepTimer.start(m_options.stepMs);
    if (m_transport) {  // without a link nobody hears them
        m_heartbeatTimer.start(m_options.heartbeatMs);
        handleHeartbeatTimeout();
    }
    return true;
}

bool VehicleSimulator::createVehicles(QString& error)
{
    const std::string code = m_options.code.toStdString();
    if (!m_options.paramsFile.isEmpty()) {
        auto store = std::make_unique<SimParamsStore>(m_options.paramsFile);
        if (!store->load(code, error))
            return false;
        m_store = std::move(store);
    }

    // Stored ids may differ from the slots; no two vehicles may end up with the same one.
    std::map<int, SimParams> bySlot;
    std::map<int, int> slotOfId;
    const std::vector<int> slotIds = m_options.vehicleIds();
    for (size_t index = 0; index < slotIds.size(); ++index) {
        const int slot = slotIds[index];
        const SimParams* stored = m_store ? m_store->entry(slot) : nullptr;
        const SimParams params =
            stored ? *stored : SimParams::defaults(uint8_t(slot), m_options.vehicleCode(int(index)).toStdString());
        const int id = params.basic.vehicleId;
        const auto [it, fresh] = slotOfId.emplace(id, slot);
        if (!fresh) {
            error = QStringLiteral("params file %1: vehicles %2 and %3 would both fly as vehicle %4")
                        .arg(m_options.paramsFile)
                        .arg(it->second)
                        .arg(slot)
                        .arg(id);
            return false;
        }
        bySlot.emplace(slot, params);
    }

    for (auto& [slot, params] : bySlot) {
        auto* v = new SimVehicle(
            uint8_t(slot), params, m_options, [this](const std::vector<_MavPFrame_t>& f) { sendFrames(f); }, this);
        v->setIdClaim([this](uint8_t newId) { return m_vehicles.count(newId) == 0; });
        connect(v, &SimVehicle::idChanged, this,
                [this, v](int oldId, int newId) { handleVehicleIdChanged(v, oldId, newId); });
        connect(v, &SimVehicle::paramsChanged, this, [this, v] { saveParams(v); });
        if (v->id() != slot)
            spdlog::info("<VehicleSim> vehicle {} flies as vehicle {} (stored id)", slot, v->id());
        m_vehicles[v->id()] = v;
    }
    return true;
}

void VehicleSimulator::handleVehicleIdChanged(SimVehicle* vehicle, int oldId, int newId)
{
    m_vehicles.erase(oldId);
    m_vehicles[newId] = vehicle;
}

void VehicleSimulator::saveParams(const SimVehicle* vehicle)
{
    if (!m_store)
        return;
    QString error;
    if (!m_store->save(vehicle->slotId(), vehicle->params().params(), error)) {
        ++m_paramsSaveFailures;
        spdlog::error("<VehicleSim> vehicle {}: {}", vehicle->id(), error.toStdString());
    }
}

void VehicleSimulator::stop()
{
    if (!m_running)
        return;
    m_running = false;
    m_heartbeatTimer.stop();
    m_stepTimer.stop();
    if (m_transport)
        m_transport->close();
    if (m_mqtt)
        m_mqtt->stop();
    const int pending = m_faults ? m_faults->discardPending() : 0;
    if (pending > 0)
        spdlog::info("<VehicleSim> {} delayed frame(s) not sent at stop", pending);
    spdlog::info("<VehicleSim> stopped");
}

quint16 VehicleSimulator::listenPort() const
{
    auto* udp = qobject_cast<SimUdpTransport*>(m_transport);
    return udp ? udp->listenPort() : 0;
}

quint16 VehicleSimulator::recvPort() const
{
    auto* udp = qobject_cast<SimUdpTransport*>(m_transport);
    return udp ? udp->recvPort() : 0;
}

SimVehicle* VehicleSimulator::vehicle(int id) const
{
    const auto it = m_vehicles.find(id);
    return it == m_vehicles.end() ? nullptr : it->second;
}

QList<SimVehicle*> VehicleSimulator::vehicles() const
{
    QList<SimVehicle*> list;
    for (const auto& [id, v] : m_vehicles)
        list.append(v);
    return list;
}

SimCounters VehicleSimulator::counters() const
{
    SimCounters c;
    if (m_faults) {
        c.in = m_faults->counters(SimFaultInjector::Direction::Incoming);
        c.out = m_faults->counters(SimFaultInjector::Direction::Outgoing);
    }
    for (const auto& [channel, cutter] : m_cutters) {
        c.badHeadBytes += cutter.stats().badHeadBytes;
        c.crcErrors += cutter.stats().crcErrors;
    }
    c.crcErrors += m_injectedCrcErrors;
    c.foreignFrames = m_foreignFrames;
    c.sendFailures = m_sendFailures;
    c.statusRecordsOut = m_statusRecordsOut;
    for (const auto& [id, v] : m_vehicles) {
        c.commands += v->counters().commands;
        c.answered += v->counters().answered;
        c.silenced += v->counters().silenced;
        c.unknownCommands += v->counters().unknown;
        c.heartbeats += v->counters().heartbeats;
        c.teleRequests += v->counters().teleRequests;
        c.teleAnswers += v->counters().teleAnswers;
        c.teleSilenced += v->counters().teleSilenced;
        c.paramReads += v->params().counters().reads;
        c.paramWrites += v->params().counters().writes;
        c.paramRefusals += v->params().counters().refusals;
    }
    c.paramsSaveFailures = m_paramsSaveFailures;
    return c;
}

bool VehicleSimulator::logFrames() const
{
    return m_options.verbose && spdlog::should_log(spdlog::level::debug);
}

void VehicleSimulator::handleBytesReceived(const QByteArray& bytes, int channel)
{
    if (!m_running)
        return;
    m_cutters[channel].feed(
        bytes, [this](const QByteArray& wire, const _MavPFrame_t& frame) { handleWireFrame(wire, frame); });
}

void VehicleSimulator::handleWireFrame(QByteArray wire, _MavPFrame_t frame)
{
    if (logFrames())
        spdlog::debug("<VehicleSim> in  tx={} rx={} seq={} cmd=0x{:02x} len={}: {}", frame.tx_id, frame.rx_id,
                      frame.seq, frame.cmd, frame.data_len, wire.toHex(' ').toStdString());

    const QByteArray original = wire;
    if (!m_faults->receiveFrame(wire))
        return;
    if (wire != original) {
        // The check catches every single-bit flip; parse anyway so the outcome is the link's.
        const auto* bytes = reinterpret_cast<const unsigned char*>(wire.constData());
        if (MavProtoHelper::parseMavProtoFrame(bytes, unsigned(wire.size()), frame) != MAVPROTO_PARSE_RESULT_OK) {
            ++m_injectedCrcErrors;
            spdlog::debug("<VehicleSim> corrupted frame failed its check");
            return;
        }
    }

    if (frame.tx_id != MAVPROTO_GCS_ID) {
        ++m_foreignFrames;
        spdlog::debug("<VehicleSim> ignoring frame from 0x{:02x}, not the station", frame.tx_id);
        return;
    }
    SimVehicle* target = vehicle(frame.rx_id);
    if (!target) {
        ++m_foreignFrames;
        spdlog::debug("<VehicleSim> ignoring frame for vehicle {}, not simulated", frame.rx_id);
        return;
    }
    target->handleFrame(frame);
}

void VehicleSimulator::sendFrames(const std::vector<_MavPFrame_t>& frames)
{
    if (!m_running || !m_transport)
        return;
    QList<QByteArray> wires;
    wires.reserve(qsizetype(frames.size()));
    std::vector<uint8_t> bytes;
    for (const _MavPFrame_t& frame : frames) {
        if (MavProtoHelper::mavPFrameToSendBytes(bytes, frame) == 0) {
            ++m_sendFailures;
            spdlog::error("<VehicleSim> frame cmd=0x{:02x} too long to send ({} bytes of data)", frame.cmd,
                          frame.data.size());
            continue;
        }
        wires.append(QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())));
        if (logFrames())
            spdlog::debug("<VehicleSim> out tx={} rx={} seq={} cmd=0x{:02x} len={}: {}", frame.tx_id, frame.rx_id,
                          frame.seq, frame.cmd, frame.data.size(), wires.last().toHex(' ').toStdString());
    }
    if (wires.size() == 1)
        m_faults->sendFrame(wires.first());
    else if (!wires.isEmpty())
        m_faults->sendFrames(wires);
}

void VehicleSimulator::handleFrameReady(const QByteArray& bytes)
{
    if (!m_running || !m_transport)
        return;
    if (!m_transport->write(bytes)) {
        ++m_sendFailures;
        return;
    }
    // The chunk holds whole frames (those of one answer that survived the faults, maybe with a
    // bit flipped in data or check, never in head or length).
    for (qsizetype at = 0; at + 10 <= bytes.size();) {
        if (uint8_t(bytes[at + 5]) == MavCmd::TeleFlightStatus)
            ++m_statusRecordsOut;
        at += 10 + (uint8_t(bytes[at + 6]) | uint8_t(bytes[at + 7]) << 8);
    }
}

std::vector<SimMqttPublisher::Sample> VehicleSimulator::mqttSamples() const
{
    std::vector<SimMqttPublisher::Sample> samples;
    samples.reserve(m_vehicles.size());
    for (const auto& [id, v] : m_vehicles) {
        const SimFlightModel& model = v->flightModel();
        SimMqttPublisher::Sample s;
        if (m_transport) {
            const MavProtoAhrsData_t ahrs = model.ahrsData();
            const MavProtoPosData_t pos = model.posData();
            s.latitude = model.latitude();
            s.longitude = model.longitude();
            s.altitude = model.altitude();
            s.roll = ahrs.roll;
            s.pitch = ahrs.pitch;
            s.yaw = ahrs.yaw;
            s.speed = std::hypot(double(pos.northSpd), double(pos.eastSpd));
        } else {
            // Wall time rather than model steps: every message differs, whatever the two rates.
            s = SimMqttPublisher::orbit(model.homeLat(), model.homeLon(), m_clock.elapsed());
        }
        s.code = QString::fromStdString(v->params().params().code);
        samples.push_back(s);
    }
    return samples;
}

void VehicleSimulator::handleHeartbeatTimeout()
{
    for (const auto& [id, v] : m_vehicles)
        v->sendHeartbeat();
}

void VehicleSimulator::handleStepTimeout()
{
    for (const auto& [id, v] : m_vehicles)
        v->advance();
}

void VehicleSimulator::handleTransportFailed(const QString& error)
{
    stop();
    emit transportFailed(error);
}
