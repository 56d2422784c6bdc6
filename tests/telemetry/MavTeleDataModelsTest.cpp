#include "TestSupport.h"

#include "app/GcsSettings.h"
#include "telemetry/CustomTeleDataListModel.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTeleDataItemBox.h"
#include "telemetry/MavTeleDataTableModel.h"
#include "telemetry/MavTelePlotsManager.h"
#include "telemetry/MavTeleResDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/VehicleController.h"

#include <QAbstractItemModelTester>
#include <QFont>
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
    vehicle->setup(nullptr);
    return vehicle;
}

std::vector<int> shownIds(const QAbstractItemModel& model)
{
    // Built-in labels are unique, so a box's elements tell which ids the rows show.
    static MavTeleDataItemBox box;
    std::vector<int> ids;
    for (int row = 0; row < model.rowCount(); ++row) {
        const QString name = model.data(model.index(row, 0), CustomTeleDataListModel::DisplayNameRole).toString();
        for (int id : {10, 11, 12, 102, 400, 404, 505})
            if (box.getDataElement(id)->name() == name)
                ids.push_back(id);
    }
    return ids;
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
        const char* name;
        bool withVehicle;
        bool withBox;
        QList<Eid> eids;
        std::vector<int> expected;
    };
    const std::vector<Case> cases = {
        {"nothing to show from", false, false, {Eid(400), Eid(10)}, {}},
        {"box keeps the chosen order", false, true, {Eid(400), Eid(10)}, {400, 10}},
        {"box skips unknown ids", false, true, {Eid(9999), Eid(404), Eid(12)}, {404, 12}},
        {"vehicle keeps telemetry order", true, false, {Eid(400), Eid(10)}, {10, 400}},
        {"vehicle wins over the box", true, true, {Eid(400), Eid(102), Eid(10)}, {10, 102, 400}},
        {"vehicle ignores unknown ids", true, false, {Eid(9999), Eid(11)}, {11}},
    };
    for (const auto& c : cases) {
        CustomTeleDataListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        if (c.withBox)
            model.setTeleDataItemBox(box);
        if (c.withVehicle)
            model.setActiveVehicleCtrler(vehicle);
        model.setTeleDataEids(c.eids);
        EXPECT_EQ(shownIds(model), c.expected) << c.name;
        EXPECT_EQ(model.teleDataEids(), c.eids) << c.name;
    }

    CustomTeleDataListModel model;
    model.setActiveVehicleCtrler(vehicle);
    model.setTeleDataEids({Eid(12)});
    vehicle->teleCtrler()->ahrsDataItem()->updateProtoData(ahrs(0, 12.34f));
    const QModelIndex row = model.index(0, 0);
    EXPECT_EQ(model.data(row, Qt::UserRole + 1).toString(), "航向角");
    EXPECT_EQ(model.data(row, Qt::UserRole + 2).toString(), "12.3");
    EXPECT_EQ(model.data(row, Qt::UserRole + 3).toString(), "°");
    EXPECT_FALSE(model.data(row, Qt::DisplayRole).isValid());
    EXPECT_FALSE(model.data(row, Qt::UserRole + 4).isValid());
    EXPECT_FALSE(model.data(model.index(1, 0), Qt::UserRole + 1).isValid());
    EXPECT_EQ(model.columnCount(), 1);
    EXPECT_FALSE(model.parent(row).isValid());

    // Dropping the vehicle falls back to the box.
    model.setTeleDataItemBox(box);
    model.setActiveVehicleCtrler(nullptr);
    model.setTeleDataEids({Eid(12), Eid(10)});
    EXPECT_EQ(shownIds(model), (std::vector<int>{12, 10}));
}

TEST(CustomTeleDataListModel, ResetsOnlyOnRealChanges)
{
    auto vehicle = makeVehicle("VC-RESET");
    CustomTeleDataListModel model;
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    model.setTeleDataEids({Eid(10), Eid(11)});
    model.setTeleDataEids({Eid(10), Eid(11)});
    EXPECT_EQ(resets.count(), 1) << "the same ids twice";
    model.setTeleDataEids({Eid(11), Eid(10)});
    EXPECT_EQ(resets.count(), 2) << "another order is another list";
    model.setActiveVehicleCtrler(vehicle);
    model.setActiveVehicleCtrler(vehicle);
    EXPECT_EQ(resets.count(), 3) << "the same vehicle twice";
    model.setTeleDataItemBox(std::make_shared<MavTeleDataItemBox>());
    EXPECT_EQ(resets.count(), 3) << "a box alone does not rebuild";
}

TEST(CustomTeleDataListModel, RefreshesOnlyWhenAnItemOfAShownElementChanges)
{
    auto vehicle = makeVehicle("VC-REFRESH");
    auto tele = vehicle->teleCtrler();
    struct Shown {
        const char* name;
        QList<Eid> eids;
    };
    const std::vector<Shown> lists = {
        {"heading state and roll", {Eid(404), Eid(10)}},
        {"AHRS only", {Eid(10), Eid(11), Eid(12)}},
        {"reserved", {Eid(505)}},
        {"empty", {}},
    };
    std::vector<std::unique_ptr<CustomTeleDataListModel>> models;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (const auto& l : lists) {
        models.push_back(std::make_unique<CustomTeleDataListModel>());
        models.back()->setActiveVehicleCtrler(vehicle);
        models.back()->setTeleDataEids(l.eids);
        spies.push_back(std::make_unique<QSignalSpy>(models.back().get(), &QAbstractItemModel::dataChanged));
    }
    struct Update {
        const char* name;
        std::function<void()> apply;
        std::vector<int> refreshes;  // dataChanged count per list after this update
    };
    _MavProtoFlightStatusData_t status{};
    status.headingState = 1;
    const std::vector<Update> updates = {
        {"flight status", [&] { tele->flightStatusDataItem()->updateProtoData(status); }, {1, 0, 0, 0}},
        {"AHRS", [&] { tele->ahrsDataItem()->updateProtoData(ahrs(1, 2)); }, {2, 1, 0, 0}},
        {"position", [&] { tele->posDataItem()->updateProtoData(MavProtoPosData_t{}); }, {2, 1, 0, 0}},
        {"reserved name", [&] { tele->setResCustomNameFields(customName("505", "泵压")); }, {2, 1, 1, 0}},
    };
    for (const auto& u : updates) {
        u.apply();
        for (size_t i = 0; i < lists.size(); ++i)
            EXPECT_EQ(spies[i]->count(), u.refreshes[i]) << u.name << " / " << lists[i].name;
    }

    auto& headingList = *models[0];
    const auto range = spies[0]->at(0);
    EXPECT_EQ(range.at(0).value<QModelIndex>().row(), 0);
    EXPECT_EQ(range.at(1).value<QModelIndex>().row(), 1);
    EXPECT_TRUE(range.at(2).value<QList<int>>().isEmpty());
    EXPECT_EQ(headingList.data(headingList.index(1, 0), CustomTeleDataListModel::DisplayValueRole).toString(), "已定向")
        << "element 404 comes after the AHRS element in telemetry order";
    EXPECT_EQ(models[2]->data(models[2]->index(0, 0), CustomTeleDataListModel::DisplayNameRole).toString(), "泵压");

    // Another vehicle: the first one's updates no longer refresh the list.
    auto other = makeVehicle("VC-OTHER");
    headingList.setActiveVehicleCtrler(other);
    const int before = spies[0]->count();
    tele->flightStatusDataItem()->updateProtoData(status);
    EXPECT_EQ(spies[0]->count(), before);
    other->teleCtrler()->flightStatusDataItem()->updateProtoData(status);
    EXPECT_EQ(spies[0]->count(), before + 1);
}

TEST(MavTeleDataTableModel, CellsAndHeaders)
{
    MavTeleDataTableModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    EXPECT_EQ(model.rowCount(), 0);
    auto item = std::make_shared<MavAhrsDataItem>();
    model.setTeleDataItem(item);
    item->updateProtoData(ahrs(-3, 12.34f));
    ASSERT_EQ(model.rowCount(), 15);
    EXPECT_EQ(model.columnCount(), 3);
    EXPECT_EQ(model.teleDataItem(), item);

    struct Cell {
        int row, column, role;
        QVariant expected;
    };
    const std::vector<Cell> cells = {
        {11, 0, Qt::DisplayRole, "航向角"}, {11, 1, Qt::DisplayRole, "12.3"}, {11, 2, Qt::DisplayRole, "°"},
        {9, 1, Qt::EditRole, "-3.00"},      {6, 2, Qt::DisplayRole, ""},      {0, 0, Qt::TextAlignmentRole, 1},
        {0, 0, Qt::ToolTipRole, QVariant()}, {15, 0, Qt::DisplayRole, QVariant()},
    };
    for (const auto& c : cells)
        EXPECT_EQ(model.data(model.index(c.row, c.column), c.role), c.expected) << c.row << "," << c.column << " role " << c.role;
    EXPECT_EQ(model.data(model.index(3, 1), Qt::FontRole).value<QFont>().pixelSize(), 14);

    struct Header {
        int section;
        int role;
        QVariant expected;
    };
    const std::vector<Header> headers = {
        {0, Qt::DisplayRole, "名称"}, {1, Qt::DisplayRole, "值"},        {2, Qt::EditRole, "单位"},
        {3, Qt::DisplayRole, QVariant()}, {0, Qt::TextAlignmentRole, 1}, {0, Qt::FontRole, QVariant()},
    };
    for (auto orientation : {Qt::Horizontal, Qt::Vertical}) {
        for (const auto& h : headers)
            EXPECT_EQ(model.headerData(h.section, orientation, h.role), h.expected)
                << "section " << h.section << " role " << h.role << " orientation " << orientation;
    }
}

TEST(MavTeleDataTableModel, ValueUpdatesRefreshColumnOneAndNameChangesColumnZero)
{
    MavTeleDataTableModel model;
    auto res = std::make_shared<MavTeleResDataItem>();
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    model.setTeleDataItem(res);
    model.setTeleDataItem(res);
    model.setTeleDataItem(nullptr);
    EXPECT_EQ(resets.count(), 1) << "the same item or none keeps the table";
    EXPECT_EQ(model.teleDataItem(), res);

    struct Case {
        const char* name;
        std::function<void()> apply;
        int column;
    };
    const std::vector<Case> cases = {
        {"value update", [&] { res->updateProtoData(MavProtoResData_t{}); }, 1},
        {"custom name", [&] { res->setCustomNameFields(customName("505", "泵压")); }, 0},
    };
    for (const auto& c : cases) {
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        c.apply();
        ASSERT_EQ(changed.count(), 1) << c.name;
        const auto from = changed.at(0).at(0).value<QModelIndex>();
        const auto to = changed.at(0).at(1).value<QModelIndex>();
        EXPECT_EQ(from.row(), 0) << c.name;
        EXPECT_EQ(to.row(), 29) << c.name;
        EXPECT_EQ(from.column(), c.column) << c.name;
        EXPECT_EQ(to.column(), c.column) << c.name;
    }
    EXPECT_EQ(model.data(model.index(5, 0), Qt::DisplayRole).toString(), "泵压");

    auto ahrsItem = std::make_shared<MavAhrsDataItem>();
    model.setTeleDataItem(ahrsItem);
    EXPECT_EQ(model.rowCount(), 15);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    res->updateProtoData(MavProtoResData_t{});
    EXPECT_EQ(changed.count(), 0) << "the item shown before is disconnected";
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

    struct Step {
        qint64 atMs;
        float roll;
        bool emits;
    };
    // The first update finds the last batch long ago and leaves at once.
    const std::vector<Step> steps = {{0, 1, true}, {200, 2, false}, {400, 3, false}, {600, 4, true},
                                     {1099, 5, false}, {1100, 6, true}};
    int batches = 0;
    QList<QPointF> sent;
    for (const auto& s : steps) {
        now = start + s.atMs;
        ahrsItem->updateProtoData(ahrs(s.roll, 90));
        batches += s.emits ? 1 : 0;
        ASSERT_EQ(ready.count(), batches) << "update at " << s.atMs;
        if (!s.emits)
            continue;
        const auto batch = ready.last().at(0).value<PlotsData>();
        EXPECT_EQ(batch.value(Eid(12)).size(), batch.value(Eid(10)).size()) << "at " << s.atMs;
        EXPECT_FALSE(batch.contains(Eid(11))) << "not plotted";
        sent += batch.value(Eid(10));
        for (const auto& p : batch.value(Eid(12)))
            EXPECT_DOUBLE_EQ(p.y(), 90.0);
    }
    const QList<QPointF> expected = {{(start + 0) / 1000.0, 1}, {(start + 200) / 1000.0, 2}, {(start + 400) / 1000.0, 3},
                                     {(start + 600) / 1000.0, 4}, {(start + 1099) / 1000.0, 5}, {(start + 1100) / 1000.0, 6}};
    EXPECT_EQ(sent, expected) << "each point once, in order, x in seconds";
    EXPECT_EQ(ready.at(1).at(0).value<PlotsData>().value(Eid(10)).size(), 3)
        << "the 600 ms batch carries the points of 200, 400 and 600 ms";

    // Relabelling adds no point; another vehicle's items feed the plots from now on.
    now = start + 5000;
    ahrsItem->setCustomNameFields(customName("10", "横滚"));
    EXPECT_EQ(ready.count(), batches);
    auto other = makeVehicle("VC-PLOT2");
    plots.setActiveVehicleCtrler(other);
    ahrsItem->updateProtoData(ahrs(7, 0));
    EXPECT_EQ(ready.count(), batches);
    other->teleCtrler()->ahrsDataItem()->updateProtoData(ahrs(8, 0));
    ASSERT_EQ(ready.count(), batches + 1);
    EXPECT_EQ(ready.last().at(0).value<PlotsData>().value(Eid(10)),
              (QList<QPointF>{{(start + 5000) / 1000.0, 8}}));
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
        const char* name;
        std::function<void()> apply;
        QList<Eid> plotted;
        int added, removed, cleared;
    };
    const std::vector<Step> steps = {
        {"add", [&] { plots.addPlot(Eid(10)); }, {Eid(10)}, 1, 0, 0},
        {"add again", [&] { plots.addPlot(Eid(10)); }, {Eid(10)}, 1, 0, 0},
        {"add after a batch", [&] { batch(); plots.addPlot(Eid(10)); }, {Eid(10)}, 1, 0, 0},
        {"remove after a batch", [&] { batch(); plots.removePlot(Eid(10)); }, {}, 1, 1, 0},
        {"remove unplotted", [&] { plots.removePlot(Eid(10)); }, {}, 1, 1, 0},
        {"set with a repeat", [&] { plots.setPlots({Eid(11), Eid(12), Eid(11)}); }, {Eid(11), Eid(12)}, 3, 1, 0},
        {"set replaces", [&] { batch(); plots.setPlots({Eid(12), Eid(13)}); }, {Eid(12), Eid(13)}, 4, 2, 0},
        {"clear", [&] { plots.clearPlots(); }, {}, 4, 2, 1},
    };
    for (const auto& s : steps) {
        s.apply();
        EXPECT_EQ(plots.plots(), s.plotted) << s.name;
        EXPECT_EQ(added.count(), s.added) << s.name;
        EXPECT_EQ(removed.count(), s.removed) << s.name;
        EXPECT_EQ(cleared.count(), s.cleared) << s.name;
    }

    QSignalSpy ready(&plots, &MavTelePlotsManager::plotsDataReady);
    plots.addPlot(Eid(11));
    batch();
    ASSERT_EQ(ready.count(), 1);
    const auto data = ready.at(0).at(0).value<PlotsData>();
    EXPECT_EQ(data.keys(), QList<Eid>{Eid(11)}) << "cleared plots collect nothing";
    EXPECT_EQ(data.value(Eid(11)).size(), 1);
}
