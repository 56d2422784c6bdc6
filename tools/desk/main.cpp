// velmora-desk: the station (StationRuntime, as velmora-station runs it) with its operator window
// on top, bound to the library's models. The CLI endpoint, the bridge and the fleet page work
// against it as against velmora-station; velmora-cli window.screenshot is its own.

#include "DeskOptions.h"
#include "DeskStation.h"
#include "MapBackdrop.h"
#include "StationRuntime.h"

#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "app/GcsToolBox.h"
#include "automation/GcsCliCommandRouter.h"
#include "common/GcsConsoleListModel.h"
#include "mission/MavFlightRouteListModel.h"
#include "mission/MavWayPointsTableModel.h"
#include "nfz/NfzZoneListModel.h"
#include "telemetry/CustomTeleDataListModel.h"
#include "telemetry/MavTeleDataTableModel.h"
#include "telemetry/MavTelePlotsManager.h"
#include "vehicle/VehicleAlertListModel.h"
#include "vehicle/VehicleClusterController.h"
#include "vehicle/VehicleClusterListModel.h"

#include <QElapsedTimer>
#include <QQmlApplicationEngine>
#include <QPointer>
#include <QQmlContext>
#include <QtQml/qqml.h>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSortFilterProxyModel>
#include <QTranslator>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>
#include <functional>
#include <cstring>

namespace {

// Named objects of the window under a prefix, with where they are drawn: what a test or a script
// reads of the window (the map item also gives its projection).
nlohmann::json namedItems(QQuickWindow* window, const QString& prefix)
{
    nlohmann::json items = nlohmann::json::array();
    QList<QObject*> all;
    std::function<void(QQuickItem*)> walk = [&](QQuickItem* item) {
        all.append(item);
        for (QQuickItem* child : item->childItems())
            walk(child);
    };
    walk(window->contentItem());
    for (QObject* o : window->findChildren<QObject*>())
        if (!qobject_cast<QQuickItem*>(o))
            all.append(o);
    for (QObject* o : all) {
        const QString name = o->objectName();
        if (name.isEmpty() || !name.startsWith(prefix))
            continue;
        nlohmann::json entry = {{"objectName", name.toStdString()}};
        if (auto* item = qobject_cast<QQuickItem*>(o)) {
            const QPointF at = item->mapToScene(QPointF(0, 0));
            entry.update({{"x", at.x()},
                          {"y", at.y()},
                          {"width", item->width()},
                          {"height", item->height()},
                          {"visible", item->isVisible()}});
        }
        for (const char* property : {"text", "refLat", "refLon", "centerX", "centerY", "mpp", "label"}) {
            const QVariant v = o->property(property);
            if (!v.isValid())
                continue;
            if (v.typeId() == QMetaType::QString)
                entry[property] = v.toString().toStdString();
            else
                entry[property] = v.toDouble();
        }
        items.push_back(std::move(entry));
    }
    return items;
}

QObject* findNamed(QQuickWindow* window, const QString& name)
{
    std::function<QObject*(QQuickItem*)> walk = [&](QQuickItem* item) -> QObject* {
        if (item->objectName() == name)
            return item;
        for (QQuickItem* child : item->childItems())
            if (QObject* found = walk(child))
                return found;
        return nullptr;
    };
    if (QObject* found = walk(window->contentItem()))
        return found;
    return window->findChild<QObject*>(name);
}

// The fields the custom list shows unless the user picks others.
const QList<MavTeleDataElement::TeleElementId> kCustomFields = {
    MavTeleDataElement::PosAlt,     MavTeleDataElement::PosUpSpd,           MavTeleDataElement::PosSatNum,
    MavTeleDataElement::FlightMode, MavTeleDataElement::FlightBatteryState, MavTeleDataElement::FlightFcuVol};

}  // namespace

int main(int argc, char** argv)
{
    DeskOptions desk;
    if (const QString error = DeskOptions::take(argc, argv, desk); !error.isEmpty()) {
        std::fprintf(stderr, "velmora-desk: %s\n%s", qPrintable(error), qPrintable(DeskOptions::usage()));
        return 2;
    }
    StationOptions options;
    const QString error = StationOptions::parse(argc, argv, options);
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--mqtt-password") == 0)
            std::memset(argv[i + 1], '*', std::strlen(argv[i + 1]));
    if (error == "help") {
        std::fputs(qPrintable(DeskOptions::usage() + StationOptions::usage()), stdout);
        return 0;
    }
    if (!error.isEmpty()) {
        std::fprintf(stderr, "velmora-desk: %s\n%s%s", qPrintable(error), qPrintable(DeskOptions::usage()),
                     qPrintable(StationOptions::usage()));
        return 2;
    }
    // Without a GPU (offscreen, a remote desktop) Qt Quick draws in software.
    if (qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen") ||
        qEnvironmentVariableIsSet("QT_QUICK_BACKEND"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);

    StationRuntime station(std::move(options), QStringLiteral("velmora-desk"), false);
    if (const int rc = station.start(argc, argv))
        return rc;
    GcsAppController* ctrl = station.controller();

    // The views' models: the library's own, made and fed as any window program would.
    const auto fleet = ctrl->vehicleClusterCtrler()->getClusterListModel();
    MavTeleDataTableModel teleTable;
    CustomTeleDataListModel teleList;
    teleList.setTeleDataItemBox(station.app()->toolBox()->teleDataItemBox());
    teleList.setTeleDataEids(kCustomFields);
    MavTelePlotsManager plots;
    plots.setPlots({MavTeleDataElement::PosAlt, MavTeleDataElement::PosUpSpd});
    MavFlightRouteListModel routes;
    routes.setFlightRouteMgr(ctrl->flightRouteMgr());
    MavWayPointsTableModel wayPoints;
    wayPoints.setMissionsCtrler(ctrl->missionsCtrler());
    NfzZoneListModel zones(ctrl->zoneSet());
    QSortFilterProxyModel console;
    console.setSourceModel(ctrl->consoleListModel());
    console.setFilterRole(GcsConsoleListModel::TextRole);
    console.setFilterCaseSensitivity(Qt::CaseInsensitive);
    DeskStation actions(ctrl, &zones);
    actions.bindViews(&teleTable, &teleList, &plots);

    // The window's texts in the station's language (the library's are installed by the runtime).
    QTranslator windowTexts;
    if (station.language() != QLatin1String("en") &&
        windowTexts.load(QStringLiteral(":/desk/i18n/desk_%1.qm").arg(station.language())))
        QCoreApplication::installTranslator(&windowTexts);
    qmlRegisterType<MapBackdrop>("Velmora.Desk", 1, 0, "MapBackdrop");
    QQmlApplicationEngine engine;
    QQmlContext* context = engine.rootContext();
    context->setContextProperty("desk", &actions);
    context->setContextProperty("fleetModel", fleet.get());
    context->setContextProperty("teleTable", &teleTable);
    context->setContextProperty("teleList", &teleList);
    context->setContextProperty("plots", &plots);
    context->setContextProperty("routeList", &routes);
    context->setContextProperty("wayPoints", &wayPoints);
    context->setContextProperty("zoneModel", &zones);
    context->setContextProperty("alertModel", ctrl->alertListModel());
    context->setContextProperty("consoleModel", &console);
    context->setContextProperty("deskTilesDir", desk.tilesDir);
    context->setContextProperty("stationLanguage", station.language());
    engine.load(QUrl(QStringLiteral("qrc:/desk/Main.qml")));
    auto* window = engine.rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(engine.rootObjects().first());
    if (!window) {
        spdlog::error("<desk> the window could not be built (see the QML messages above)");
        std::fprintf(stderr, "velmora-desk: the window could not be built; see the log\n");
        return 1;
    }
    window->resize(desk.geometry);
    window->show();

    QPointer<QQuickWindow> shown(window);
    GcsCliCommandRouter::addMethod(
        {"window.screenshot",
         [shown, &actions](const gcscli::Call& call) -> nlohmann::json {
             std::string path;
             if (!call.params)
                 return gcscli::refuse(call, *gcscli::invalid("Missing params object"));
             if (auto f = gcscli::readString(*call.params, "path", path))
                 return gcscli::refuse(call, *f);
             const QVariantMap r = actions.screenshot(shown.data(), QString::fromStdString(path));
             if (!r.value("ok").toBool())
                 return gcscli::refuse(call, *gcscli::invalid(r.value("message").toString().toStdString()));
             return GcsCliResponse::makeSuccess(
                 {{"path", path}, {"width", r.value("width").toInt()}, {"height", r.value("height").toInt()}});
         },
         "Saves velmora-desk's window as a PNG.",
         {{"path", "string", true, {}, "absolute path of the PNG to write"}}});
    GcsCliCommandRouter::addMethod(
        {"window.items",
         [shown](const gcscli::Call& call) -> nlohmann::json {
             std::string prefix;
             if (call.params && call.params->contains("prefix"))
                 if (auto f = gcscli::readString(*call.params, "prefix", prefix))
                     return gcscli::refuse(call, *f);
             if (!shown)
                 return gcscli::refuse(call, *gcscli::rejected("No window"));
             auto items = namedItems(shown.data(), QString::fromStdString(prefix));
             const auto count = items.size();
             return GcsCliResponse::makeSuccess({{"items", std::move(items)}, {"count", count}});
         },
         "velmora-desk: the window's named items (objectName starting with prefix), where they are drawn.",
         {{"prefix", "string", false, {}, "objectName prefix (default: every named item)"}}});
    GcsCliCommandRouter::addMethod(
        {"window.press",
         [shown](const gcscli::Call& call) -> nlohmann::json {
             std::string name;
             if (!call.params)
                 return gcscli::refuse(call, *gcscli::invalid("Missing params object"));
             if (auto f = gcscli::readString(*call.params, "objectName", name))
                 return gcscli::refuse(call, *f);
             QObject* target = shown ? findNamed(shown.data(), QString::fromStdString(name)) : nullptr;
             if (!target)
                 return gcscli::refuse(call, *gcscli::invalid("No item named " + name));
             // A button is pressed as a click would (a checkable one, a tab, is checked first); a
             // dialog is accepted as its OK would.
             bool done = false;
             if (target->metaObject()->indexOfMethod("accept()") >= 0) {
                 done = QMetaObject::invokeMethod(target, "accept");
             } else if (target->metaObject()->indexOfSignal("clicked()") >= 0) {
                 if (target->property("checkable").toBool() && !target->property("checked").toBool())
                     QMetaObject::invokeMethod(target, "toggle");
                 done = QMetaObject::invokeMethod(target, "clicked");
             }
             if (!done)
                 return gcscli::refuse(call, *gcscli::invalid(name + " is neither a button nor a dialog"));
             return GcsCliResponse::makeSuccess({{"pressed", name}});
         },
         "velmora-desk: presses a named button, or accepts a named dialog, as the operator would.",
         {{"objectName", "string", true, {}, "the item's objectName"}}});
    // Frame times (synchronising to swapped), for the frame-time benchmark: window.frames.
    struct Frames {
        std::mutex lock;
        QElapsedTimer clock;
        qint64 startNs = -1;
        std::vector<double> ms;
    };
    auto frames = std::make_shared<Frames>();
    frames->clock.start();
    QObject::connect(
        window, &QQuickWindow::beforeSynchronizing, window,
        [frames] {
            std::lock_guard<std::mutex> hold(frames->lock);
            frames->startNs = frames->clock.nsecsElapsed();
        },
        Qt::DirectConnection);
    QObject::connect(
        window, &QQuickWindow::frameSwapped, window,
        [frames] {
            std::lock_guard<std::mutex> hold(frames->lock);
            if (frames->startNs >= 0 && frames->ms.size() < 100000)
                frames->ms.push_back(double(frames->clock.nsecsElapsed() - frames->startNs) / 1e6);
            frames->startNs = -1;
        },
        Qt::DirectConnection);
    GcsCliCommandRouter::addMethod(
        {"window.frames",
         [frames](const gcscli::Call&) -> nlohmann::json {
             std::vector<double> ms;
             {
                 std::lock_guard<std::mutex> hold(frames->lock);
                 ms.swap(frames->ms);
             }
             std::sort(ms.begin(), ms.end());
             const auto at = [&](double p) { return ms.empty() ? 0.0 : ms[size_t(p * double(ms.size() - 1))]; };
             return GcsCliResponse::makeSuccess({{"frames", ms.size()},
                                                 {"p50Ms", at(0.5)},
                                                 {"p99Ms", at(0.99)},
                                                 {"maxMs", ms.empty() ? 0.0 : ms.back()}});
         },
         "velmora-desk: frame times since the last call (synchronise to swap), then starts again.",
         {}});
    spdlog::info("<desk> window {}x{}", desk.geometry.width(), desk.geometry.height());
    const int rc = station.exec();
    for (const char* name : {"window.screenshot", "window.items", "window.press", "window.frames"})
        GcsCliCommandRouter::removeMethod(name);
    return rc;
}
