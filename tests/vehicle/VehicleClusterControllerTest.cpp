#include "AppHarness.h"

#include "OstUdpSocketLinkConfig.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleClusterController.h"
#include "vehicle/VehicleClusterListDataItem.h"
#include "vehicle/VehicleClusterListModel.h"
#include "vehicle/VehicleController.h"

#include <algorithm>

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

// Vehicles join as they do on the air: from heartbeats heard on a registered link.
class VehicleClusterControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        mvm = app.ctrl->multiVehicleMgr();
        link = LinkManagerFactory::getInstance().createLinkManager("cluster-link");
        QSignalSpy open(link.get(), &LinkManager::udpLinkOpenResp);
        link->openUdpSocketLink(std::make_shared<OstUdpSocketLinkConfig>(testsupport::freeUdpPort(), 0));
        ASSERT_TRUE(testsupport::waitUntil([&] { return open.count() == 1; }));
        model = app.ctrl->vehicleClusterCtrler()->getClusterListModel();
    }

    std::shared_ptr<VehicleController> join(int id)
    {
        mvm->processMavHeartbeatFrame(id, link->udpSocketLink(), QString("127.0.0.1:%1").arg(20000 + id));
        return mvm->findVehicleControllerById(id);
    }

    static std::vector<int> ids(const VehicleClusterListModel& m)
    {
        std::vector<int> out;
        for (int row = 0; row < m.rowCount(); ++row)
            out.push_back(m.data(m.index(row), VehicleClusterListModel::VehicleIdRole).toInt());
        return out;
    }

    testsupport::AppHarness app;
    MultiVehicleManager* mvm = nullptr;
    std::shared_ptr<LinkManager> link;
    std::shared_ptr<VehicleClusterListModel> model;
    const std::vector<int> fixedIds = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
};

}  // namespace

// Slots 1..14 stand empty before any vehicle (RejoiningVehicleRebindsTheSameSlot reads them).
TEST_F(VehicleClusterControllerTest, JoiningVehiclesBindTheirSlotOrAppendOne)
{
    QAbstractItemModelTester tester(model.get(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    QSignalSpy inserted(model.get(), &QAbstractItemModel::rowsInserted);
    const std::vector<std::tuple<int, int, int>> joins = {{3, 14, 2}, {20, 15, 14}, {14, 15, 13}};  // id, rows, row
    for (const auto& [id, rows, row] : joins) {
        auto vehicle = join(id);
        ASSERT_TRUE(vehicle) << id;
        EXPECT_EQ(model->rowCount(), rows) << id;
        EXPECT_EQ(model->itemAt(row)->vehicleController(), vehicle) << id;
    }
    EXPECT_EQ(inserted.count(), 1);
    mvm->addRemoteVehicle("RC-5");
    ASSERT_EQ(mvm->vehicleList().size(), 4);
    EXPECT_EQ(model->rowCount(), 15) << "a vehicle without an id gets no slot";

    // Slot 3 follows its vehicle's attitude, position and connection; the model reports its row
    // once for the whole batch.
    auto slot = model->itemAt(2);
    auto vehicle = mvm->findVehicleControllerById(3);
    QSignalSpy data(slot.get(), &VehicleClusterListDataItem::dataChanged);
    QSignalSpy connection(slot.get(), &VehicleClusterListDataItem::connectionStatusChanged);
    QSignalSpy modelChanges(model.get(), &QAbstractItemModel::dataChanged);
    MavProtoAhrsData_t ahrs{};
    ahrs.roll = 5.5f, ahrs.pitch = -2.25f, ahrs.yaw = 181.5f;
    vehicle->teleCtrler()->ahrsDataItem()->updateProtoData(ahrs);
    MavProtoPosData_t pos{};
    pos.lat = 31.25, pos.lon = 121.5, pos.alt = 48.75, pos.upSpd = 1.5f;
    vehicle->teleCtrler()->posDataItem()->updateProtoData(pos);
    vehicle->teleCtrler()->ahrsDataItem()->setCustomNameFields(
        {std::make_shared<MavCustomNameField>("10", "", "横滚")});
    EXPECT_EQ(data.count(), 2) << "values only, relabelling changes none";
    const std::vector<std::pair<int, double>> roles = {{259, 181.5}, {260, 5.5},   {261, -2.25}, {262, 121.5},
                                                       {263, 31.25}, {264, 48.75}, {265, 1.5}};
    for (const auto& [role, expected] : roles)
        EXPECT_DOUBLE_EQ(model->data(model->index(2), role).toDouble(), expected) << "role " << role;
    vehicle->handleTeleDataReportStateChanged(MavTelemetryController::kReportReceiving);
    EXPECT_EQ(connection.count(), 1);
    EXPECT_TRUE(model->data(model->index(2), 258).toBool());
    EXPECT_EQ(modelChanges.count(), 0) << "gathered until the batch ends";
    // Rows changed by the joins above leave in the same batch, as ranges of their own.
    const auto reportsOfRow2 = [&] {
        return std::count_if(modelChanges.begin(), modelChanges.end(), [&](const QList<QVariant>& args) {
            return args.at(0).toModelIndex().row() <= 2 && args.at(1).toModelIndex().row() >= 2;
        });
    };
    ASSERT_TRUE(testsupport::waitUntil([&] { return reportsOfRow2() > 0; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(reportsOfRow2(), 1);
    EXPECT_EQ(model->data(model->index(2), VehicleClusterListModel::LinkStateRole).toString(), "alive");
    EXPECT_TRUE(model->data(model->index(2), VehicleClusterListModel::PositionKnownRole).toBool());
    EXPECT_EQ(model->data(model->index(2), VehicleClusterListModel::FlightModeTextRole).toString(), QString())
        << "no flight status yet: no mode";
    EXPECT_EQ(model->data(model->index(0), VehicleClusterListModel::LinkStateRole).toString(), QString())
        << "an unbound slot";
}

TEST_F(VehicleClusterControllerTest, RejoiningVehicleRebindsTheSameSlot)
{
    auto first = join(3);
    first->handleTeleDataReportStateChanged(MavTelemetryController::kReportReceiving);
    auto slot = model->itemAt(2);
    ASSERT_TRUE(slot->isConnected());
    mvm->removeLocalVehicle(first);
    QSignalSpy data(slot.get(), &VehicleClusterListDataItem::dataChanged);
    QSignalSpy connection(slot.get(), &VehicleClusterListDataItem::connectionStatusChanged);
    auto second = join(3);
    ASSERT_TRUE(second && second != first);
    EXPECT_EQ(ids(*model), fixedIds);
    EXPECT_EQ(slot->vehicleController(), second);
    EXPECT_EQ(data.count(), 1);
    EXPECT_EQ(connection.count(), 1) << "the new vehicle is not alive yet";
    EXPECT_FALSE(slot->isConnected());

    first->teleCtrler()->ahrsDataItem()->updateFromStatus(9, 9, 9);
    EXPECT_EQ(data.count(), 1) << "the old vehicle is unbound";
    second->teleCtrler()->ahrsDataItem()->updateFromStatus(4, 0, 0);
    EXPECT_EQ(data.count(), 2);
    EXPECT_EQ(slot->roll(), 4.0f);
    slot->setVehicleController(second);
    EXPECT_EQ(data.count(), 2) << "binding the bound vehicle changes nothing";
}

TEST_F(VehicleClusterControllerTest, VehiclesAlreadyPresentAreBoundWhenTheModelIsCreated)
{
    join(5);
    join(30);
    VehicleClusterController late(mvm);
    auto lateModel = late.getClusterListModel();
    auto expected = fixedIds;
    expected.push_back(30);
    EXPECT_EQ(ids(*lateModel), expected);
    EXPECT_EQ(lateModel->itemAt(4)->vehicleController(), mvm->findVehicleControllerById(5));
    EXPECT_EQ(lateModel->itemAt(14)->vehicleController(), mvm->findVehicleControllerById(30));
}

TEST(VehicleClusterListModel, InsertsInOneStepAndRemovesTheFirstMatch)
{
    VehicleClusterListModel m;
    QSignalSpy inserted(&m, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&m, &QAbstractItemModel::rowsRemoved);
    m.addVehicles({});
    QList<std::shared_ptr<VehicleClusterListDataItem>> items;
    for (int id : {7, 8, 7})
        items.append(std::make_shared<VehicleClusterListDataItem>(id));
    m.addVehicles(items);
    ASSERT_EQ(inserted.count(), 1);
    EXPECT_EQ(inserted.at(0).at(2).toInt(), 2);
    m.removeVehicle(7);
    m.removeVehicle(42);
    EXPECT_EQ(removed.count(), 1);
    EXPECT_EQ(m.itemAt(0), items.at(1));
    EXPECT_EQ(m.itemAt(1), items.at(2)) << "the second 7 stays";
}
