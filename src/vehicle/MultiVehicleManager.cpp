#include "MultiVehicleManager.h"

#include "VehicleController.h"
#include "VehicleUtil.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "settings/GcsSettings.h"
#include "link/LinkManager.h"
#include "link/LinkManagerFactory.h"
#include "protocol/MavProtocolProcesser.h"

#include "OstLinkAbstractConfig.h"
#include "OstUdpSocketLink.h"
#include "OstTimerTaskManager.h"

#include <QDateTime>

#include <spdlog/spdlog.h>

namespace {
constexpr qint64 kHeartbeatLogThrottleMs = 10000;

const void* ptr(const std::shared_ptr<VehicleController>& v)
{
    return static_cast<const void*>(v.get());
}
}  // namespace

MultiVehicleManager::MultiVehicleManager(QObject* parent)
    : QObject(parent)
{
    connect(GcsSettings::getInstance(), &GcsSettings::teleReqIntervalChanged, this,
            &MultiVehicleManager::handleTeleReqIntervalChanged);
    connect(this, &MultiVehicleManager::reportVehiclesDataTimerTriggered, this,
            &MultiVehicleManager::handleReportVehiclesDataTimerTriggered);
}

MultiVehicleManager::~MultiVehicleManager()
{
    stopReportVehiclesData();
    spdlog::debug(" MultiVehicleManager destroyed ------------");
}

void MultiVehicleManager::processMavHeartbeatFrame(int vehicleId, OstAbstractLink* link, QString address)
{
    if (auto known = findVehicleControllerById(vehicleId)) {
        known->noteHeartbeat();
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        auto& last = m_heartbeatLogTimes[vehicleId];
        if (now - last >= kHeartbeatLogThrottleMs) {
            last = now;
            spdlog::debug("<MultiVehicleMgr> heartbeat: existing vehicleId={}, list_size={} (throttled {} ms)",
                          vehicleId, m_vehicles.size(), kHeartbeatLogThrottleMs);
        }
        auto config = link ? link->linkConfig() : nullptr;
        if (config && config->linkType() == OstLinkAbstractConfig::Udp) {
            known->setAddress(address);
            known->setTeleReqEnable(true);
        }
        return;
    }

    for (auto& waiting : m_waitingJoins) {
        if (waiting.vehicleId == vehicleId) {
            waiting.link = link;
            waiting.address = address;
            return;
        }
    }
    if (!m_turnResetPosted) {
        // Runs after the events already queued: the CLI and sockets get their turn first.
        m_turnResetPosted = true;
        QMetaObject::invokeMethod(this, &MultiVehicleManager::joinWaitingVehicles, Qt::QueuedConnection);
    }
    if (m_joinsThisTurn >= kJoinsPerTurn || !m_waitingJoins.isEmpty()) {
        if (m_waitingJoins.isEmpty())
            spdlog::info("<MultiVehicleMgr> many vehicles heard at once; {} join per pass of the event loop",
                         kJoinsPerTurn);
        m_waitingJoins.append({vehicleId, link, address});
        return;
    }
    ++m_joinsThisTurn;
    joinVehicle(vehicleId, link, address);
}

void MultiVehicleManager::joinWaitingVehicles()
{
    m_turnResetPosted = false;
    m_joinsThisTurn = 0;
    while (!m_waitingJoins.isEmpty() && m_joinsThisTurn < kJoinsPerTurn) {
        const WaitingJoin next = m_waitingJoins.takeFirst();
        if (!next.link || findVehicleControllerById(next.vehicleId))
            continue;  // its link went away meanwhile
        ++m_joinsThisTurn;
        joinVehicle(next.vehicleId, next.link, next.address);
    }
    if (!m_waitingJoins.isEmpty() || m_joinsThisTurn > 0) {
        m_turnResetPosted = true;
        QMetaObject::invokeMethod(this, &MultiVehicleManager::joinWaitingVehicles, Qt::QueuedConnection);
    }
}

void MultiVehicleManager::joinVehicle(int vehicleId, OstAbstractLink* link, const QString& address)
{
    auto linkMgr = LinkManagerFactory::getInstance().findLinkManager(link);
    if (!linkMgr) {
        spdlog::warn("<MultiVehicleMgr> heartbeat: no LinkManager for link, vehicleId={}, address={}", vehicleId,
                     address.toStdString());
        return;
    }
    spdlog::info("<MultiVehicleMgr> heartbeat: new vehicle (no existing id), id={}, address={}, list_size_before={}",
                 vehicleId, address.toStdString(), m_vehicles.size());

    // One connection per link for the whole fleet: each frame is looked up once by sender id.
    connect(linkMgr->mavProtoProcesser(), &MavProtocolProcesser::mavPFrameReceived, this,
            &MultiVehicleManager::routeMavPFrame, Qt::UniqueConnection);
    auto vehicle = std::make_shared<VehicleController>(vehicleId, linkMgr);
    vehicle->setFramesRoutedByOwner(true);
    // The address first: setup already sends the first telemetry request.
    vehicle->setAddress(address);
    vehicle->setServices(servicesForVehicles());
    vehicle->setup();
    vehicle->noteHeartbeat();
    vehicle->setTeleReqInterval(GcsSettings::getInstance()->getTeleReqInterval());

    m_vehicles.append(vehicle);
    m_frameRoutes.join(vehicleId, vehicle.get());
    spdlog::info("<MultiVehicleMgr> vehicle joined, id:{}, address:{}", vehicleId, address.toStdString());
    if (m_activeHolds && m_activeVehicle) {
        spdlog::info("<MultiVehicleMgr> vehicle {} joined during a session on vehicle {}, active later", vehicleId,
                     m_activeVehicle->vehicleId());
        m_deferredActive.append(vehicle);
    } else {
        setActiveVevhile(vehicle);
    }
    emit vehicleJoined(vehicle);

    if (m_vehicles.size() == 1) {
        if (vehicle->alive()) {
            spdlog::info("<MultiVehicleMgr> first vehicle connected and alive, start check vehicle first position "
                         "fixed after connected");
            vehicle->checkVehicleFirstPositionFixedAfterConnected();
        } else {
            connect(vehicle.get(), &VehicleController::vehicleAliveChanged, this,
                    &MultiVehicleManager::handleVechileAliveChanged);
        }
    }
    // Whenever a local vehicle joins, not only the first: one that joins while a remote vehicle
    // is listed must be reported too.
    startReportVehiclesData();
}

void MultiVehicleManager::handleVechileAliveChanged(bool alive)
{
    if (!alive)
        return;
    if (m_vehicles.size() == 1) {
        spdlog::info("<MultiVehicleMgr> first vehicle alive changed to true, start check vehicle first position fixed "
                     "after connected");
        m_vehicles.first()->checkVehicleFirstPositionFixedAfterConnected();
    } else {
        spdlog::info("<MultiVehicleMgr> vehicle alive changed to true, but more than one vehicle, do nothing");
    }
}

void MultiVehicleManager::handleTeleReqIntervalChanged(int ms)
{
    for (const auto& v : m_vehicles) {
        if (v->isLocal())
            v->setTeleReqInterval(ms);
    }
}

void MultiVehicleManager::startReportVehiclesData()
{
    if (m_reportTask.isRunning())
        return;
    auto timerMgr = m_vehicleServices.timerTaskMgr.lock();
    m_reportTask.start(timerMgr, 3000, [this] { emit reportVehiclesDataTimerTriggered(); });
}

void MultiVehicleManager::stopReportVehiclesData()
{
    m_reportTask.stop();  // waits for a running tick, which only emits
}

void MultiVehicleManager::handleReportVehiclesDataTimerTriggered()
{
    const auto publisher = m_mqttController.lock();
    if (!publisher)
        return;
    VehicleMessage message;
    if (!VehicleUtil::fillVehicleMessageWithAuth(message, m_loginMgr.lock()))
        spdlog::warn("<MultiVehicleManager> fill vehicle message with auth failed: loginMgr is null");
    for (const auto& vehicle : m_vehicles) {
        if (!vehicle->isLocal() || vehicle->vehicleCode().isEmpty() || !vehicle->vehicleCodeIsActive())
            continue;
        const auto tele = vehicle->teleCtrler();
        if (!tele)
            continue;
        message.vehicleId = vehicle->vehicleCode();
        message.timestamp = QDateTime::currentMSecsSinceEpoch();
        if (const auto pos = tele->posDataItem()) {
            message.messageType = QStringLiteral("position");
            message.payload = {{"latitude", pos->lat()}, {"longitude", pos->lon()}, {"altitude", pos->alt()}};
            publisher->publishVehicleReport(message);
        }
        if (const auto ahrs = tele->ahrsDataItem()) {
            message.messageType = QStringLiteral("status");
            message.payload = {{"roll", ahrs->roll()}, {"pitch", ahrs->pitch()}, {"yaw", ahrs->yaw()}};
            publisher->publishVehicleReport(message);
        }
    }
}

void MultiVehicleManager::setActiveVevhile(std::shared_ptr<VehicleController> vehicle)
{
    if (vehicle == m_activeVehicle)
        return;
    if (m_activeVehicle)
        m_previousActive = m_activeVehicle;
    m_activeVehicle = std::move(vehicle);
    emit activeVehicleChanged(m_activeVehicle);
}

void MultiVehicleManager::setActiveVehicleHold(ActiveVehicleHold hold, bool on)
{
    m_activeHolds = on ? (m_activeHolds | hold) : (m_activeHolds & ~unsigned(hold));
    if (m_activeHolds)
        return;
    const auto deferred = std::exchange(m_deferredActive, {});
    for (auto it = deferred.rbegin(); it != deferred.rend(); ++it) {
        if (auto vehicle = it->lock(); vehicle && m_vehicles.contains(vehicle)) {
            setActiveVevhile(vehicle);
            return;
        }
    }
}

void MultiVehicleManager::chooseActiveAfterRemoval()
{
    // The one active before (a watch through the cloud ended, say) rather than whichever is first.
    if (const auto previous = m_previousActive.lock(); previous && m_vehicles.contains(previous)) {
        setActiveVevhile(previous);
        return;
    }
    for (const auto& v : m_vehicles) {
        if (v->isLocal()) {
            setActiveVevhile(v);
            return;
        }
    }
    setActiveVevhile(m_vehicles.isEmpty() ? nullptr : m_vehicles.first());
}

void MultiVehicleManager::removeLocalVehicle(const std::shared_ptr<VehicleController>& ctrl)
{
    spdlog::info("<MultiVehicleMgr> removeLocalVehicle: entry, list_size={}, ctrl_ptr={}", m_vehicles.size(),
                 ptr(ctrl));
    if (!ctrl || !ctrl->isLocal()) {
        spdlog::info("<MultiVehicleMgr> removeLocalVehicle ignored: invalid or not Local");
        return;
    }
    const bool wasActive = ctrl == m_activeVehicle;
    spdlog::info("<MultiVehicleMgr> removeLocalVehicle: target vehicle_id={}, was_active={}", ctrl->vehicleId(),
                 wasActive);
    if (!m_vehicles.contains(ctrl)) {
        spdlog::warn("<MultiVehicleMgr> removeLocalVehicle: controller not in list (vehicle_id={})", ctrl->vehicleId());
        return;
    }
    auto keep = ctrl;  // the caller's reference may be the list's own
    emit vehicleLeft(keep);
    m_vehicles.removeOne(keep);
    m_frameRoutes.leave(keep->vehicleId(), keep.get());
    keep->retire();
    if (wasActive)
        chooseActiveAfterRemoval();
    m_heartbeatLogTimes.erase(keep->vehicleId());
    spdlog::info("<MultiVehicleMgr> removeLocalVehicle: done, removed_id={}, was_active={}, new_active_vehicle_id={}, "
                 "remaining_list_size={}",
                 keep->vehicleId(), wasActive, m_activeVehicle ? m_activeVehicle->vehicleId() : -1, m_vehicles.size());
}

void MultiVehicleManager::removeAllLocalVehicles()
{
    m_waitingJoins.clear();  // heard on the link being closed
    const auto locals = controllableLocalVehicles();
    if (!locals.isEmpty())
        spdlog::info("<MultiVehicleMgr> removeAllLocalVehicles: removing {} local vehicles", locals.size());
    for (const auto& v : locals)
        removeLocalVehicle(v);
    if (controllableLocalVehicles().isEmpty())
        stopReportVehiclesData();
}

void MultiVehicleManager::routeMavPFrame(MavPFramePtr pframe, OstAbstractLink* link)
{
    if (!pframe)
        return;
    if (VehicleController* vehicle = m_frameRoutes.find(pframe->tx_id))
        vehicle->deliverMavPFrame(pframe, link);
}

VehicleController::Services MultiVehicleManager::servicesForVehicles() const
{
    auto services = m_vehicleServices;
    services.loginMgr = m_loginMgr;
    services.fleet = const_cast<MultiVehicleManager*>(this);
    return services;
}

void MultiVehicleManager::release()
{
    m_waitingJoins.clear();
    stopReportVehiclesData();
    const auto all = m_vehicles;
    for (const auto& v : all) {
        if (v->isLocal())
            removeLocalVehicle(v);
        else
            removeRemoteVehicle(v->vehicleCode());
    }
}

void MultiVehicleManager::addRemoteVehicle(const QString& vehicleCode)
{
    if (vehicleCode.isEmpty()) {
        spdlog::warn("<MultiVehicleMgr> addRemoteVehicle failed, vehicleCode is empty");
        return;
    }
    for (const auto& v : m_vehicles) {
        if (!v->isLocal() && v->vehicleCode() == vehicleCode) {
            spdlog::info("<MultiVehicleMgr> remote vehicle already exists, vehicleCode: {}", vehicleCode.toStdString());
            return;
        }
    }
    auto vehicle = VehicleController::createRemote(vehicleCode);
    vehicle->setServices(servicesForVehicles());
    vehicle->setup();
    m_vehicles.append(vehicle);
    // Like a local vehicle joining: a session on the active vehicle is not cut short.
    if (m_activeHolds && m_activeVehicle)
        m_deferredActive.append(vehicle);
    else
        setActiveVevhile(vehicle);
    spdlog::info("<MultiVehicleMgr> remote vehicle added, vehicleCode: {}", vehicleCode.toStdString());
    emit vehicleJoined(vehicle);
}

void MultiVehicleManager::removeRemoteVehicle(const QString& vehicleCode)
{
    if (vehicleCode.isEmpty())
        return;
    for (const auto& v : m_vehicles) {
        if (!v->isLocal() && v->vehicleCode() == vehicleCode) {
            auto keep = v;
            const bool wasActive = keep == m_activeVehicle;
            emit vehicleLeft(keep);
            m_vehicles.removeOne(keep);
            keep->retire();
            if (wasActive)
                chooseActiveAfterRemoval();
            spdlog::info("<MultiVehicleMgr> remote vehicle removed, vehicleCode: {}", vehicleCode.toStdString());
            return;
        }
    }
}

std::shared_ptr<VehicleController> MultiVehicleManager::findVehicleControllerById(int id) const
{
    for (const auto& v : m_vehicles) {
        if (v->vehicleId() == id)
            return v;
    }
    return nullptr;
}

std::shared_ptr<VehicleController> MultiVehicleManager::findVehicleControllerByCode(const QString& code) const
{
    if (code.isEmpty())
        return nullptr;
    for (const auto& v : m_vehicles) {
        if (v->vehicleCode() == code)
            return v;
    }
    return nullptr;
}

QList<std::shared_ptr<VehicleController>> MultiVehicleManager::controllableLocalVehicles() const
{
    QList<std::shared_ptr<VehicleController>> locals;
    for (const auto& v : m_vehicles) {
        if (v->isLocal())
            locals.append(v);
    }
    return locals;
}

QList<std::shared_ptr<VehicleController>> MultiVehicleManager::vehiclesForControlCommand() const
{
    if (GcsSettings::getInstance()->controlDisplayMode() == GcsSettingsEnums::AllLocalVehicles)
        return controllableLocalVehicles();
    if (m_activeVehicle)
        return {m_activeVehicle};
    return {};
}

std::shared_ptr<VehicleController> MultiVehicleManager::resolveVehicleTargetForCli(std::optional<QString> code,
                                                                                   std::optional<int> id) const
{
    if (code && !code->isEmpty())
        return findVehicleControllerByCode(*code);
    if (!id)
        return m_activeVehicle;
    return findVehicleControllerById(*id);
}

void MultiVehicleManager::setTeleReqEnableByLinkManager(const std::shared_ptr<LinkManager>& linkMgr, bool enable)
{
    for (const auto& v : m_vehicles) {
        if (!v->isLocal() || v->linkManager() != linkMgr)
            continue;
        if (!enable)
            v->resetLinkLossStats();
        v->setTeleReqEnable(enable);
    }
}
