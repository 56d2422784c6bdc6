#include "TestSupport.h"

#include "settings/GcsSettings.h"
#include "telemetry/CustomTeleDataListModel.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavTeleDataItemBox.h"
#include "telemetry/MavTeleDataTableModel.h"
#include "telemetry/MavTelePlotsManager.h"
#include "telemetry/MavTeleResDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/VehicleController.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <gtest/gtest.h>

using Eid = MavTeleDataElement::TeleElementId;
using PlotsData = QHash<Eid, QList<QPointF>>;

namespace {

// A vehicle watched remotely has telemetry items and no link, which is all the models need.
std::shared_ptr<VehicleController> makeVehicle(const QString& code)
{
    GcsSettings::getInstance()->init(testsupport::makeTempDir("cache"), testsupport::makeTempDir("data"));
    auto vehicle = VehicleController::createRemote(code, nullptr);
    vehicle->setup();
    return vehicle;
}

std::vector<QString> column(const QAbstractItemModel& model, int role)
{
    std::vector<QString> out;
    for (int row = 0; row < model.rowCount(); ++row)
        out.push_back(model.data(model.index(row, 0), role).toString());
    return out;
}

std::vector<MavCustomNameFieldPtr> customName(const QString& eid, const QString& name)
{
    return {std::make_shared<MavCustomNameField>(eid, QString(), name)};
}

MavProtoAhrsData_t ahrs(float roll, float yaw)
{
    MavProtoAhrsData_t data{};
    data.roll = roll;
    data.yaw = yaw;
    return data;
}

}  // namespace

TEST(CustomTeleDataListModel, RowsComeFromTheVehicleInTelemetryOrderElseFromTheBoxInChosenOrder)
{
    auto vehicle = makeVehicle("VC-LIST");
    auto box = std::make_shared<MavTeleDataItemBox>();
    struct Case {
        bool withVehicle, withBox;
        QList<Eid> eids;
        std::vector<QString> names;
    };
    const std::vector<Case> cases = {
        {false, false, {Eid(400), Eid(10)}, {}},
        {false, true, {Eid(400), Eid(9999), Eid(10)}, {"飞行模式", "滚转角"}},
        {true, false, {Eid(400), Eid(9999), Eid(10)}, {"滚转角", "飞行模式"}},
        {true, true, {Eid(404), Eid(102), Eid(12)}, {"航向角", "纬度", "定向状态"}},
    };
    for (const auto& c : cases) {
        CustomTeleDataListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
        model.setTeleDataItemBox(c.withBox ? box : nullptr);
        model.setActiveVehicleCtrler(c.withVehicle ? vehicle : nullptr);
        model.setTeleDataEids(c.eids);
        model.setTeleDataEids(c.eids);
        EXPECT_EQ(column(model, CustomTeleDataListModel::DisplayNameRole), c.names) << c.withVehicle << c.withBox;
        EXPECT_EQ(resets.count(), c.withVehicle ? 2 : 1) << "the same ids twice reset once";
    }

    CustomTeleDataListModel model;
    model.setActiveVehicleCtrler(vehicle);
    model.setTeleDataEids({Eid(12)});
    vehicle->teleCtrler()->ahrsDataItem()->updateProtoData(ahrs(0, 12.34f));
    const QModelIndex row = model.index(0, 0);
    EXPECT_EQ(model.data(row, Qt::UserRole + 2).toString(), "12.3");
    EXPECT_EQ(model.data(row, Qt::UserRole + 3).toString(), "°");
    EXPECT_FALSE(model.data(row, Qt::DisplayRole).isValid());
    EXPECT_EQ(model.data(row, CustomTeleDataListModel::ElementIdRole).toInt(), 12);
    EXPECT_FALSE(model.data(row, CustomTeleDataListModel::ElementIdRole + 1).isValid());
    EXPECT_EQ(model.roleNames().value(CustomTeleDataListModel::DisplayValueRole), "value");
}

TEST(CustomTeleDataListModel, RefreshesOnlyWhenAnItemOfAShownElementChanges)
{
    auto vehicle = makeVehicle("VC-REFRESH");
    auto tele = vehicle->teleCtrler();
    const std::vector<QList<Eid>> lists = {{Eid(404), Eid(10)}, {Eid(10), Eid(11), Eid(12)}, {Eid(505)}, {}};
    std::vector<std::unique_ptr<CustomTeleDataListModel>> models;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (const auto& eids : lists) {
        models.push_back(std::make_unique<CustomTeleDataListModel>());
        models.back()->setActiveVehicleCtrler(vehicle);
        models.back()->setTeleDataEids(eids);
        spies.push_back(std::make_unique<QSignalSpy>(models.back().get(), &QAbstractItemModel::dataChanged));
    }
    _MavProtoFlightStatusData_t status{};
    status.headingState = 1;
    struct Update {
        const char* name;
        std::function<void()> apply;
        std::vector<int> refreshes;  // dataChanged count of each list so far
    };
    const std::vector<Update> updates = {
        {"flight status", [&] { tele->flightStatusDataItem()->updateProtoData(status); }, {1, 0, 0, 0}},
        {"AHRS", [&] { tele->ahrsDataItem()->updateProtoData(ahrs(1, 2)); }, {2, 1, 0, 0}},
        {"reserved name", [&] { tele->setResCustomNameFields(customName("505", "泵压")); }, {2, 1, 1, 0}},
    };
    for (const auto& u : updates) {
        u.apply();
        for (size_t i = 0; i < lists.size(); ++i)
            EXPECT_EQ(spies[i]->count(), u.refreshes[i]) << u.name << ", list " << i;
    }
    EXPECT_EQ(spies[0]->at(0).at(1).value<QModelIndex>().row(), 1) << "all rows";
    EXPECT_EQ(column(*models[0], CustomTeleDataListModel::DisplayValueRole), (std::vector<QString>{"1.00", "已定向"}));
    EXPECT_EQ(column(*models[2], CustomTeleDataListModel::DisplayNameRole), std::vector<QString>{"泵压"});

    models[0]->setActiveVehicleCtrler(makeVehicle("VC-OTHER"));
    tele->flightStatusDataItem()->updateProtoData(status);
    EXPECT_EQ(spies[0]->count(), 2) << "the vehicle shown before is disconnected";
}

TEST(MavTeleDataTableModel, CellsHeadersAndColumnRefreshes)
{
    MavTeleDataTableModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    auto ahrsItem = std::make_shared<MavAhrsDataItem>();
    model.setTeleDataItem(ahrsItem);
    ahrsItem->updateProtoData(ahrs(-3, 12.34f));
    ASSERT_EQ(model.rowCount(), 15);
    ASSERT_EQ(model.columnCount(), 3);
    struct Cell {
        int row, column, role;
        QVariant expected;
    };
    const std::vector<Cell> cells = {
        {11, 0, Qt::DisplayRole, "航向角"}, {11, 1, Qt::DisplayRole, "12.3"}, {11, 2, Qt::DisplayRole, "°"},
        {9, 1, Qt::EditRole, "-3.00"},      {0, 0, Qt::TextAlignmentRole, 1}, {0, 0, Qt::ToolTipRole, QVariant()},
    };
    for (const auto& c : cells)
        EXPECT_EQ(model.data(model.index(c.row, c.column), c.role), c.expected) << c.row << "," << c.column;
    EXPECT_EQ(model.headerData(2, Qt::Horizontal, Qt::DisplayRole), "单位");

    auto res = std::make_shared<MavTeleResDataItem>();
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    model.setTeleDataItem(res);
    model.setTeleDataItem(res);
    model.setTeleDataItem(nullptr);
    EXPECT_EQ(resets.count(), 1) << "the same item or none keeps the table";
    struct Refresh {
        std::function<void()> apply;
        int column;
    };
    const std::vector<Refresh> refreshes = {{[&] { res->updateProtoData(MavProtoResData_t{}); }, 1},
                                            {[&] { res->setCustomNameFields(customName("505", "泵压")); }, 0},
                                            {[&] { ahrsItem->updateProtoData(ahrs(0, 0)); }, -1}};
    for (const auto& r : refreshes) {
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        r.apply();
        ASSERT_EQ(changed.count(), r.column < 0 ? 0 : 1) << "column " << r.column;
        if (r.column < 0)
            continue;
        const auto from = changed.at(0).at(0).value<QModelIndex>(), to = changed.at(0).at(1).value<QModelIndex>();
        EXPECT_EQ(std::make_tuple(from.row(), from.column(), to.row(), to.column()),
                  std::make_tuple(0, r.column, 29, r.column));
    }
}

TEST(MavTelePlotsManager, PointsLeaveInBatchesEvery500Ms)
{
    auto vehicle = makeVehicle("VC-PLOT");
    auto ahrsItem = vehicle->teleCtrler()->ahrsDataItem();
    const qint64 start = 1'700'000'000'000;
    qint64 now = start;
    MavTelePlotsManager plots(nullptr, [&] { return now; });
    plots.setActiveVehicleCtrler(vehicle);
    plots.setPlots({Eid(10), Eid(12)});
    QSignalSpy ready(&plots, &MavTelePlotsManager::plotsDataReady);
    // The first update finds the last batch long ago and leaves at once.
    const std::vector<std::pair<qint64, int>> steps = {{0, 1}, {200, 1}, {400, 1}, {600, 2}, {1099, 2}, {1100, 3}};
    QList<QPointF> sent;
    for (const auto& [atMs, batches] : steps) {
        now = start + atMs;
        ahrsItem->updateProtoData(ahrs(float(atMs), 90));
        ASSERT_EQ(ready.count(), batches) << "update at " << atMs;
    }
    for (const auto& args : ready) {
        const auto batch = args.at(0).value<PlotsData>();
        EXPECT_EQ(batch.keys().size(), 2) << "only plotted ids";
        EXPECT_EQ(batch.value(Eid(12)).size(), batch.value(Eid(10)).size());
        sent += batch.value(Eid(10));
    }
    QList<QPointF> expected;
    for (const auto& [atMs, batches] : steps)
        expected.append(QPointF((start + atMs) / 1000.0, double(atMs)));
    EXPECT_EQ(sent, expected) << "each point once, in order, x in seconds";
    EXPECT_EQ(ready.at(1).at(0).value<PlotsData>().value(Eid(10)).size(), 3) << "points of 200, 400 and 600 ms";

    // Relabelling adds no point; another vehicle's items feed the plots from now on.
    now = start + 5000;
    ahrsItem->setCustomNameFields(customName("10", "横滚"));
    auto other = makeVehicle("VC-PLOT2");
    plots.setActiveVehicleCtrler(other);
    ahrsItem->updateProtoData(ahrs(7, 0));
    EXPECT_EQ(ready.count(), 3);
    other->teleCtrler()->ahrsDataItem()->updateProtoData(ahrs(8, 0));
    ASSERT_EQ(ready.count(), 4);
    EXPECT_EQ(ready.last().at(0).value<PlotsData>().value(Eid(10)), (QList<QPointF>{{(start + 5000) / 1000.0, 8}}));
}

TEST(MavTelePlotsManager, MembershipRestsOnThePlottedList)
{
    auto vehicle = makeVehicle("VC-MEMBER");
    qint64 now = 1'000'000;
    MavTelePlotsManager plots(nullptr, [&] { return now; });
    plots.setActiveVehicleCtrler(vehicle);
    QSignalSpy added(&plots, &MavTelePlotsManager::dataPlotAdded);
    QSignalSpy removed(&plots, &MavTelePlotsManager::dataPlotRemoved);
    QSignalSpy cleared(&plots, &MavTelePlotsManager::dataPlotsCleared);
    auto batch = [&] {
        now += 1000;
        vehicle->teleCtrler()->ahrsDataItem()->updateProtoData(ahrs(1, 2));
    };
    struct Step {
        std::function<void()> apply;
        QList<Eid> plotted;
        int added, removed, cleared;
    };
    const std::vector<Step> steps = {
        {[&] { plots.addPlot(Eid(10)); }, {Eid(10)}, 1, 0, 0},
        {[&] {
             batch();
             plots.addPlot(Eid(10));
         },
         {Eid(10)},
         1,
         0,
         0},
        {[&] {
             batch();
             plots.removePlot(Eid(10));
         },
         {},
         1,
         1,
         0},
        {[&] { plots.removePlot(Eid(10)); }, {}, 1, 1, 0},
        {[&] {
             plots.setPlots({Eid(11), Eid(12), Eid(11)});
         },
         {Eid(11), Eid(12)},
         3,
         1,
         0},
        {[&] {
             batch();
             plots.setPlots({Eid(12), Eid(13)});
         },
         {Eid(12), Eid(13)},
         4,
         2,
         0},
        {[&] { plots.clearPlots(); }, {}, 4, 2, 1},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        steps[i].apply();
        // As vectors: QList's == hands memcmp a null pointer for two empty lists.
        const QList<Eid> got = plots.plots();
        EXPECT_EQ(std::vector<Eid>(got.begin(), got.end()),
                  std::vector<Eid>(steps[i].plotted.begin(), steps[i].plotted.end()))
            << "step " << i;
        EXPECT_EQ(std::make_tuple(added.count(), removed.count(), cleared.count()),
                  std::make_tuple(steps[i].added, steps[i].removed, steps[i].cleared))
            << "step " << i;
    }
    QSignalSpy ready(&plots, &MavTelePlotsManager::plotsDataReady);
    plots.addPlot(Eid(11));
    batch();
    ASSERT_EQ(ready.count(), 1);
    EXPECT_EQ(ready.at(0).at(0).value<PlotsData>().keys(), QList<Eid>{Eid(11)}) << "cleared plots collect nothing";
}
