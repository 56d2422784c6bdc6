#include "MavParamsController.h"

#include "MavAirframeTypeTable.h"
#include "MavBasicParamsDataItem.h"
#include "common/MavCustomNameField.h"
#include "MavFixedPosCtrlParamsDataItem.h"
#include "MavFixedStabCtrlParamsDataItem.h"
#include "MavPosCtrlParamsDataItem.h"
#include "MavResParamsDataItem.h"
#include "MavStabCtrlParamsDataItem.h"
#include "common/IGcsConsole.h"
#include "protocol/MavCmdRequestMessage.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"
#include "vehicle/VehicleUtil.h"

#include "MavProtoHelper.h"
#include "MavProtoParamsProcesser.h"

#include "settings/GcsSettings.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <tuple>
#include <type_traits>

namespace {

constexpr uint32_t kParamsTimeoutMs = 2000;
constexpr uint8_t kResends = 2;
constexpr uint8_t kWriteAckLen = 1;

int readLen(uint8_t cmd)
{
    return MavProtoParamsProcesser::readReplyDataLen(cmd);
}

// One parameter group. A write converts the natural record to the wire first (the conversion
// does the range check), then the packer refuses what the vehicle must not store.
template <typename Item, typename WireRecord>
struct Group {
    using Natural = std::decay_t<decltype(std::declval<const Item&>().protoData())>;
    using Wire = WireRecord;
    uint8_t cmd;
    const char* name;  // in the log line of an aborted write
    std::shared_ptr<Item> MavParamsController::*item;
    uint16_t (*pack)(_MavPFrame_t&, uint8_t rxId, uint8_t seq, const Wire&);
    bool (*decode)(const _MavPFrame_t&, Natural&);
    void (MavParamsController::*readResp)(int);
    void (MavParamsController::*writeResp)(int);
};

}  // namespace

// In the order read-all sends them.
const auto& MavParamsController::groups()
{
    using C = MavParamsController;
    using P = MavProtoParamsProcesser;
    static const auto table = std::make_tuple(
        Group<MavBasicParamsDataItem, MavProtoBasicParamsWire_t>{
            MavCmd::BasicParams, "basic", &C::m_basic, P::packWriteBasicParamsFrame, P::parseReadBasicParamsAck,
            &C::basicParamsReadResp, &C::basicParamsWriteResp},
        Group<MavStabCtrlParamsDataItem, MavProtoAttitudeGainWire_t>{
            MavCmd::AttitudeParams, "stabilize", &C::m_stab, P::packWriteStabilizeCtrlParamsFrame,
            P::parseReadStabilizeCtrlParamsAck, &C::stabCtrlParamsReadResp, &C::stabCtrlParamsWriteResp},
        Group<MavPosCtrlParamsDataItem, MavProtoPositionGainWire_t>{
            MavCmd::PositionParams, "position", &C::m_pos, P::packWritePosCtrlParamsFrame, P::parseReadPosCtrlParamsAck,
            &C::posCtrlParamsReadResp, &C::posCtrlParamsWriteResp},
        Group<MavResParamsDataItem, MavProtoResParamsWire_t>{MavCmd::ResParams, "reserved", &C::m_res,
                                                             P::packWriteResParamsFrame, P::parseReadResParamsAck,
                                                             &C::resParamsReadResp, &C::resParamsWriteResp},
        Group<MavFixedStabCtrlParamsDataItem, MavProtoAttitudeGainWire_t>{
            MavCmd::FixedAttitudeParams, "fixed stabilize", &C::m_fixedStab, P::packWriteFixedStabilizeCtrlParamsFrame,
            P::parseReadFixedStabilizeCtrlParamsAck, &C::fixedStabCtrlParamsReadResp, &C::fixedStabCtrlParamsWriteResp},
        Group<MavFixedPosCtrlParamsDataItem, MavProtoPositionGainWire_t>{
            MavCmd::FixedPositionParams, "fixed position", &C::m_fixedPos, P::packWriteFixedPosCtrlParamsFrame,
            P::parseReadFixedPosCtrlParamsAck, &C::fixedPosCtrlParamsReadResp, &C::fixedPosCtrlParamsWriteResp});
    return table;
}

template <typename F>
bool MavParamsController::forGroup(uint8_t cmd, F&& f)
{
    return std::apply([&](const auto&... g) { return ((g.cmd == cmd && (f(g), true)) || ...); }, groups());
}

MavParamsController::MavParamsController(const std::shared_ptr<VehicleController>& vehicle, QObject* parent)
    : QObject(parent)
    , m_vehicle(vehicle)
    , m_basic(std::make_shared<MavBasicParamsDataItem>())
    , m_stab(std::make_shared<MavStabCtrlParamsDataItem>())
    , m_pos(std::make_shared<MavPosCtrlParamsDataItem>())
    , m_res(std::make_shared<MavResParamsDataItem>())
    , m_fixedPos(std::make_shared<MavFixedPosCtrlParamsDataItem>())
    , m_fixedStab(std::make_shared<MavFixedStabCtrlParamsDataItem>())
    , m_nowMs([] {
        using namespace std::chrono;
        return int64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    })
{
    // Limits checked before a route flies are the vehicle's only once they were read from it.
    connect(this, &MavParamsController::basicParamsReadResp, this, [this](int ret) { m_basicKnown |= ret == 0; });
    if (vehicle) {
        connect(vehicle.get(), &VehicleController::mavPFrameReceived, this,
                &MavParamsController::handleMavPFrameReceived);
        connect(vehicle.get(), &VehicleController::mavAckTimeout, this, &MavParamsController::handleMavAckTimeout);
    }
}

MavParamsController::~MavParamsController() = default;

const QMap<int, QString>& MavParamsController::getMavTypeMap()
{
    return MavAirframeTypeTable::typeMap();
}

void MavParamsController::setResParamsCustomNameFields(const std::vector<std::shared_ptr<MavCustomNameField>>& fields)
{
    m_res->setCustomNameFields(fields);
}

void MavParamsController::echo(OstLogLevel level, bool sent, const QString& text)
{
    auto console = m_console.lock();
    if (!console)
        return;
    const auto vehicle = m_vehicle.lock();
    const QString line = vehicle ? IGcsConsole::forVehicle(vehicle->vehicleId(), text) : text;
    if (sent)
        console->outputBySender(level, line);
    else
        console->outputByReceiver(level, line);
}

void MavParamsController::sendReq(const std::shared_ptr<VehicleController>& vehicle, const MavPFramePtr& frame,
                                  int checkType, uint8_t expectedDataLen, uint32_t timeoutMs,
                                  const QString& consoleText)
{
    auto req =
        MavCmdRequestMessage::create(frame, MavCmdAckCheckType(checkType), expectedDataLen, 0, timeoutMs, kResends);
    if (!consoleText.isEmpty())
        echo(OstLogLevel::Info, true, consoleText);
    if (!vehicle->sendMavPFrameReq(req))
        vehicle->timeOutUnsentReq(req);
}

void MavParamsController::sendRead(uint8_t cmd, const char* goneLog)
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle) {
        spdlog::warn(goneLog);
        return;
    }
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoHelper::packMavProtoFrame(*frame, MAVPROTO_GCS_ID, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(), cmd,
                                      {});
    sendReq(vehicle, frame, CheckDataLen, uint8_t(readLen(cmd)), kParamsTimeoutMs,
            tr("读取") + VehicleUtil::cmdToText(cmd));
}

void MavParamsController::sendWriteReq(const std::shared_ptr<VehicleController>& vehicle, const MavPFramePtr& frame,
                                       uint8_t cmd)
{
    sendReq(vehicle, frame, CheckDataLen, kWriteAckLen, kParamsTimeoutMs, tr("写入") + VehicleUtil::cmdToText(cmd));
}

void MavParamsController::readBasicParams()
{
    sendRead(MavCmd::BasicParams);
}
void MavParamsController::readStabCtrlParams()
{
    sendRead(MavCmd::AttitudeParams);
}
void MavParamsController::readPosCtrlParams()
{
    sendRead(MavCmd::PositionParams);
}
void MavParamsController::readResParams()
{
    sendRead(MavCmd::ResParams);
}
void MavParamsController::readFixedStabCtrlParams()
{
    sendRead(MavCmd::FixedAttitudeParams);
}
void MavParamsController::readFixedPosCtrlParams()
{
    sendRead(MavCmd::FixedPositionParams);
}

void MavParamsController::readAllParams()
{
    if (m_vehicle.expired()) {
        spdlog::warn("readAllParams failed, vehicleCtrler is null");
        return;
    }
    m_batchReadingParams = true;
    m_pendingBatchReads = int(std::tuple_size_v<std::decay_t<decltype(groups())>>);
    spdlog::info("<Params> read all params after vehicle alive");
    std::apply([this](const auto&... g) { (sendRead(g.cmd), ...); }, groups());
}

void MavParamsController::handleVehicleAliveChanged(bool alive)
{
    const int64_t now = m_nowMs();
    if (!alive) {
        m_silentSinceMs = now;
        return;
    }
    const uint32_t allGroups = std::apply([](const auto&... g) { return ((1u << g.cmd) | ...); }, groups());
    const int64_t silentMs = m_silentSinceMs < 0 ? 0 : now - m_silentSinceMs;
    const bool longSilence =
        m_silentSinceMs >= 0 && silentMs > GcsSettings::getInstance()->paramsRereadAfterSilenceMs();
    m_silentSinceMs = -1;
    const bool neverRead = (m_groupsReadOk & allGroups) != allGroups;
    if (longSilence || neverRead) {
        readAllParams();
    } else {
        spdlog::info("<Params> vehicle back after {} ms of silence, parameters kept", silentMs);
    }
    if (longSilence || neverRead || !m_vehicleCodeAnswered)
        readVehicleCode();
}

void MavParamsController::notifyBatchReadAttemptFinished()
{
    if (!m_batchReadingParams || m_pendingBatchReads <= 0)
        return;
    if (--m_pendingBatchReads == 0)
        m_batchReadingParams = false;
}

template <typename WirePtr>
void MavParamsController::writeGroup(uint8_t cmd, WirePtr wire)
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle) {
        spdlog::warn("vehicleCtrler is null");
        return;
    }
    const uint8_t rxId = uint8_t(vehicle->vehicleId());
    const uint8_t seq = vehicle->genSeqId();  // taken even by a write that is aborted
    forGroup(cmd, [&](const auto& g) {
        using Wire = typename std::decay_t<decltype(g)>::Wire;
        if constexpr (std::is_convertible_v<WirePtr, const Wire*>) {
            Wire converted{};
            const Wire* record = wire;
            if (!record && MavProtoParamsProcesser::toWire((this->*g.item)->protoData(), converted))
                record = &converted;
            auto frame = std::make_shared<_MavPFrame_t>();
            if (record && g.pack(*frame, rxId, seq, *record) != 0)
                sendWriteReq(vehicle, frame, g.cmd);
            else
                spdlog::warn("<Params> abort {} params write because a value exceeds the wire integer type", g.name);
        }
    });
}

void MavParamsController::writeBasicParams()
{
    writeGroup(MavCmd::BasicParams, nullptr);
}
void MavParamsController::writeStabCtrlParams()
{
    writeGroup(MavCmd::AttitudeParams, nullptr);
}
void MavParamsController::writePosCtrlParams()
{
    writeGroup(MavCmd::PositionParams, nullptr);
}
void MavParamsController::writeResParams()
{
    writeGroup(MavCmd::ResParams, nullptr);
}
void MavParamsController::writeFixedStabCtrlParams()
{
    writeGroup(MavCmd::FixedAttitudeParams, nullptr);
}
void MavParamsController::writeFixedPosCtrlParams()
{
    writeGroup(MavCmd::FixedPositionParams, nullptr);
}
void MavParamsController::writeBasicParams(const MavProtoBasicParamsWire_t& wire)
{
    writeGroup(MavCmd::BasicParams, &wire);
}
void MavParamsController::writeStabCtrlParams(const MavProtoAttitudeGainWire_t& wire)
{
    writeGroup(MavCmd::AttitudeParams, &wire);
}
void MavParamsController::writePosCtrlParams(const MavProtoPositionGainWire_t& wire)
{
    writeGroup(MavCmd::PositionParams, &wire);
}
void MavParamsController::writeResParams(const MavProtoResParamsWire_t& wire)
{
    writeGroup(MavCmd::ResParams, &wire);
}
void MavParamsController::writeFixedStabCtrlParams(const MavProtoAttitudeGainWire_t& wire)
{
    writeGroup(MavCmd::FixedAttitudeParams, &wire);
}
void MavParamsController::writeFixedPosCtrlParams(const MavProtoPositionGainWire_t& wire)
{
    writeGroup(MavCmd::FixedPositionParams, &wire);
}

void MavParamsController::resetAllParams()
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle) {
        spdlog::warn("vehicleCtrler is null");
        return;
    }
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoHelper::packMavProtoFrame(*frame, MAVPROTO_GCS_ID, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(),
                                      MavCmd::ResetParams, {});
    sendReq(vehicle, frame, CheckResult, 0, kParamsTimeoutMs, QString());
}

void MavParamsController::handleMavPFrameReceived(MavPFramePtr pframe, OstAbstractLink*,
                                                  std::shared_ptr<MavCmdRequestMessage> req)
{
    if (!pframe)
        return;
    const uint8_t cmd = pframe->cmd;
    const bool read = req && req->expectedDataLen == readLen(cmd);
    int ret = 0;  // a refused write or reset is echoed as an error; a bad read reply is not
    const auto groupReply = [&](const auto& g) {
        if (!read) {
            ret =
                pframe->data.size() != 1 ? GcsRet::WrongReplyLength : MavProtoHelper::parseMavProtoFrameResult(*pframe);
            emit(this->*g.writeResp)(ret);
            if (cmd == MavCmd::BasicParams)
                migrateVehicleIdAfterBasicWrite(*pframe);
            return;
        }
        typename std::decay_t<decltype(g)>::Natural record{};
        const bool ok = g.decode(*pframe, record);
        if (ok) {
            (this->*g.item)->updateProtoData(record);
            m_groupsReadOk |= 1u << g.cmd;
        }
        emit(this->*g.readResp)(ok ? 0 : GcsRet::WrongReplyLength);
        notifyBatchReadAttemptFinished();
    };
    // The console tells a read from a write for replies to group and code requests.
    bool labelled = req && cmd == MavCmd::VehicleCode;
    if (labelled) {
        ret = handleVehicleCodeReply(*pframe, read);
    } else if (req && forGroup(cmd, groupReply)) {
        labelled = true;
    } else if (cmd == MavCmd::ResetParams) {
        ret = MavProtoHelper::parseMavProtoFrameResult(*pframe);
        emit resetAllParamsResp(ret);
    } else if (cmd == MavCmd::AccCalibration || cmd == MavCmd::MagCalibration) {
        handleCaliAck(cmd, *pframe);
    }
    const QString text = VehicleUtil::cmdToText(cmd);
    echo(ret != 0 ? OstLogLevel::Error : OstLogLevel::Info, false,
         labelled ? (read ? tr("读取") : tr("写入")) + "    " + text : text);
}

void MavParamsController::handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req)
{
    if (!req || !req->pframe || req->expectedDataLen != readLen(req->pframe->cmd))
        return;
    if (forGroup(req->pframe->cmd, [this](const auto& g) { emit(this->*g.readResp)(GcsRet::Timeout); }))
        notifyBatchReadAttemptFinished();
}

void MavParamsController::migrateVehicleIdAfterBasicWrite(const _MavPFrame_t& frame)
{
    if (frame.data.size() != 1) {
        spdlog::warn("<Params> basic write ack: bad length, expected={}, got={}, tx_id={} seq={}", 1, frame.data.size(),
                     frame.tx_id, frame.seq);
        return;
    }
    const int ret = MavProtoHelper::parseMavProtoFrameResult(frame);
    if (ret != 0) {
        spdlog::warn("<Params> basic write ack: result not accepted, ret={}, pframe tx_id={} rx_id={} seq={} "
                     "(vehicle_id migration "
                     "skipped)",
                     ret, frame.tx_id, frame.rx_id, frame.seq);
        return;
    }
    auto vehicle = m_vehicle.lock();
    const int newId = m_basic->vehicleId();
    spdlog::info("<Params> basic write ack: ret=accepted, pframe tx_id={} rx_id={} seq={}, ctrl_vehicle_id={}, "
                 "basic_data_vehicle_id={}, is_local={}",
                 frame.tx_id, frame.rx_id, frame.seq, vehicle ? vehicle->vehicleId() : -1, newId,
                 vehicle && vehicle->isLocal());
    if (!vehicle) {
        spdlog::warn("<Params> basic write ack ok but m_vehicleCtrler lock failed");
        return;
    }
    if (!vehicle->isLocal()) {
        spdlog::debug("<Params> basic write ack: not Local controller, skip vehicle_id migration");
        return;
    }
    const int oldId = vehicle->vehicleId();
    if (oldId == newId) {
        spdlog::info("<Params> basic_data vehicle_id unchanged ({}), skip removeLocalVehicle", oldId);
        return;
    }
    spdlog::info("<Params> vehicle_id migration: old_id={}, new_id={}, checking MultiVehicleManager", oldId, newId);
    MultiVehicleManager* mvm = vehicle->multiVehicleMgr();
    if (!mvm) {
        spdlog::warn("<Params> multiVehicleMgr is null, cannot removeLocalVehicle for vehicle_id migration (old_id={}, "
                     "new_id={})",
                     oldId, newId);
        return;
    }
    auto holder = mvm->findVehicleControllerById(newId);
    if (!holder) {
        spdlog::info("<Params> calling removeLocalVehicle: old_id={}, next heartbeat should rejoin as new_id={}", oldId,
                     newId);
        mvm->removeLocalVehicle(vehicle);
    } else if (holder != vehicle) {
        spdlog::warn(
            "<Params> skip removeLocalVehicle: new_id={} already used by another VehicleController (ptr conflict)",
            newId);
    }
}
