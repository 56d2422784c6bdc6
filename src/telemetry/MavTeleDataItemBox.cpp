#include "MavTeleDataItemBox.h"

#include "params/MavCustomNameFieldsConfigManager.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavRcDataItem.h"
#include "telemetry/MavTargetStabilizeDataItem.h"
#include "telemetry/MavTeleResDataItem.h"

#include <spdlog/spdlog.h>

MavTeleDataItemBox::MavTeleDataItemBox(QObject* parent)
    : QObject(parent)
{
}

const QList<int>& MavTeleDataItemBox::dataCommands()
{
    static const QList<int> commands = {
        MavAhrsDataItem::Command, MavPosDataItem::Command,          MavTargetStabilizeDataItem::Command,
        MavRcDataItem::Command,   MavFlightStatusDataItem::Command, MavTeleResDataItem::Command};
    return commands;
}

std::shared_ptr<MavTeleBaseDataItem> MavTeleDataItemBox::createDataItem(int dataCommand)
{
    switch (dataCommand) {
    case MavAhrsDataItem::Command: return std::make_shared<MavAhrsDataItem>();
    case MavPosDataItem::Command: return std::make_shared<MavPosDataItem>();
    case MavTargetStabilizeDataItem::Command: return std::make_shared<MavTargetStabilizeDataItem>();
    case MavRcDataItem::Command: return std::make_shared<MavRcDataItem>();
    case MavFlightStatusDataItem::Command: return std::make_shared<MavFlightStatusDataItem>();
    case MavTeleResDataItem::Command: return std::make_shared<MavTeleResDataItem>();
    default: return nullptr;
    }
}

std::shared_ptr<MavTeleBaseDataItem> MavTeleDataItemBox::getDataItem(int dataCommand)
{
    if (auto cached = m_dataItems.value(dataCommand))
        return cached;
    auto item = createDataItem(dataCommand);
    if (!item) {
        spdlog::debug("<TeleBox> no telemetry item for command {}", dataCommand);
        return nullptr;
    }
    m_dataItems.insert(dataCommand, item);
    for (const auto& element : item->dataElementList())
        m_dataElements.insert(int(element->id()), element);
    if (dataCommand == MavTeleResDataItem::Command)
        item->setCustomNameFields(currentResTeleFields());
    return item;
}

std::shared_ptr<MavTeleDataElement> MavTeleDataItemBox::getDataElement(int elementId)
{
    if (auto element = m_dataElements.value(elementId))
        return element;
    for (int cmd : dataCommands())
        getDataItem(cmd);
    return m_dataElements.value(elementId);
}

void MavTeleDataItemBox::setCustomNameFieldsConfigManager(const std::shared_ptr<MavCustomNameFieldsConfigManager>& mgr)
{
    if (auto old = m_customNameFieldsConfigMgr.lock())
        disconnect(old.get(), nullptr, this, nullptr);
    m_customNameFieldsConfigMgr = mgr;
    if (!mgr)
        return;
    applyResTeleFields();
    connect(mgr.get(), &MavCustomNameFieldsConfigManager::resTeleFieldsRefreshed, this,
            &MavTeleDataItemBox::handleResTeleFieldsRefreshed);
}

void MavTeleDataItemBox::setResTeleCustomNameFields(const std::vector<std::shared_ptr<MavCustomNameField>>& fields)
{
    m_resTeleFields = fields;
    if (auto item = m_dataItems.value(MavTeleResDataItem::Command))
        item->setCustomNameFields(m_resTeleFields);
}

void MavTeleDataItemBox::handleResTeleFieldsRefreshed()
{
    applyResTeleFields();
}

std::vector<std::shared_ptr<MavCustomNameField>> MavTeleDataItemBox::currentResTeleFields() const
{
    if (auto mgr = m_customNameFieldsConfigMgr.lock())
        return mgr->resTeleFields();
    return m_resTeleFields;
}

void MavTeleDataItemBox::applyResTeleFields()
{
    if (auto item = m_dataItems.value(MavTeleResDataItem::Command))
        item->setCustomNameFields(currentResTeleFields());
}
