#include "MavCustomNameFieldsConfigManager.h"

#include "settings/GcsSettings.h"
#include "params/MavResParamsDataItem.h"
#include "telemetry/MavTeleResDataItem.h"

#include <QFile>
#include <QSaveFile>

#include <spdlog/spdlog.h>

using E = GcsSettingsEnums;

namespace {

// One field per element, each named after it.
template <typename Item>
MavCustomNameFieldsConfigPtr defaultsOf()
{
    const auto item = std::make_shared<Item>();
    std::vector<MavCustomNameFieldPtr> fields;
    for (const auto& element : item->dataElementList()) {
        const QString eid = QString::number(int(element->id()));
        fields.push_back(std::make_shared<MavCustomNameField>(eid, element->name(), element->name()));
    }
    return std::make_shared<MavCustomNameFieldsConfig>(fields);
}

enum class WriteResult { Written, OpenFailed, WriteFailed };

// Replaces the file only once every byte is on disk. Unbuffered on purpose: a buffered QSaveFile
// (Qt 6.4) drops the tail of a short write (full disk, size limit) and still commits.
WriteResult writeWhole(const QString& path, const QByteArray& bytes, QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        error = file.errorString();
        return WriteResult::OpenFailed;
    }
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            error = file.errorString();
            file.cancelWriting();
            return WriteResult::WriteFailed;
        }
        done += n;
    }
    if (!file.commit()) {
        error = file.errorString();
        return WriteResult::WriteFailed;
    }
    return WriteResult::Written;
}

std::string str(const QString& s)
{
    return s.toStdString();
}

}  // namespace

MavCustomNameFieldsConfigManager::MavCustomNameFieldsConfigManager(QObject* parent)
    : QObject(parent)
    , m_resParams{defaultsOf<MavResParamsDataItem>(), "MavResParams.gfn", "ResParams", "resParams",
                  &MavCustomNameFieldsConfigManager::resParamsFieldsRefreshed}
    , m_resTele{defaultsOf<MavTeleResDataItem>(), "MavResTele.gfn", "ResTele", "resTele",
                &MavCustomNameFieldsConfigManager::resTeleFieldsRefreshed}
{
}

QString MavCustomNameFieldsConfigManager::cacheFilePath(const NameSet& set)
{
    auto* settings = GcsSettings::getInstance();
    if (settings->appCachePath().isEmpty()) {
        spdlog::warn("<CustomFields> no application cache directory, {} names are not cached", set.kind);
        return QString();
    }
    const QString dir = settings->getSubPathInAppCache(QStringLiteral("configs/customFields"), true);
    return dir + "/" + QString::fromLatin1(set.fileName);
}

void MavCustomNameFieldsConfigManager::loadAllFromCache()
{
    loadFromCache(m_resParams);
    loadFromCache(m_resTele);
}

void MavCustomNameFieldsConfigManager::loadFromCache(const NameSet& set)
{
    QFile file(cacheFilePath(set));
    if (!file.exists()) {
        spdlog::info("<CustomFields> no cached {} customName config when loadAll", set.kind);
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        spdlog::warn("<CustomFields> open cached {} customName config failed when loadAll: {}", set.kind,
                     str(file.errorString()));
        return;
    }
    if (!set.config->loadFromData(file.readAll())) {
        spdlog::warn("<CustomFields> load {} customName failed when laodAll, parse file failed", set.kind);
        return;
    }
    emit(this->*set.refreshed)();
}

E::LoadCustomNameResult
MavCustomNameFieldsConfigManager::loadResParamsData(const std::vector<MavCustomNameFieldPtr>& fields)
{
    return loadData(m_resParams, fields);
}

E::LoadCustomNameResult
MavCustomNameFieldsConfigManager::loadResTeleData(const std::vector<MavCustomNameFieldPtr>& fields)
{
    return loadData(m_resTele, fields);
}

E::LoadCustomNameResult MavCustomNameFieldsConfigManager::loadData(const NameSet& set,
                                                                   const std::vector<MavCustomNameFieldPtr>& fields)
{
    set.config->loadFromData(fields);
    QByteArray bytes;
    if (!set.config->saveToData(bytes)) {
        spdlog::error("<CustomFields> load{}Data failed, pack fileData failed", set.kind);
        return E::LoadCustomNameParseFailed;
    }
    QString error;
    switch (writeWhole(cacheFilePath(set), bytes, error)) {
    case WriteResult::OpenFailed:
        spdlog::error("<CustomFields> load{}Data failed, open file failed: {}", set.kind, str(error));
        return E::LoadCustomNameFileOpenFailed;
    case WriteResult::WriteFailed:
        spdlog::error("<CustomFields> load{}Data failed, write file failed: {}", set.kind, str(error));
        return E::LoadCustomNameFileOpenFailed;
    case WriteResult::Written: break;
    }
    emit(this->*set.refreshed)();
    return E::LoadCustomNameSuccess;
}

E::LoadCustomNameResult MavCustomNameFieldsConfigManager::loadResParamsDataFromFile(const QString& filePath)
{
    return loadDataFromFile(m_resParams, filePath);
}

E::LoadCustomNameResult MavCustomNameFieldsConfigManager::loadResTeleDataFromFile(const QString& filePath)
{
    return loadDataFromFile(m_resTele, filePath);
}

E::LoadCustomNameResult MavCustomNameFieldsConfigManager::loadDataFromFile(const NameSet& set, const QString& filePath)
{
    QFile file(filePath);
    if (!file.exists()) {
        spdlog::warn("<CustomFields> load{}DataFromFile failed , filePath:{} not exist", set.kind, str(filePath));
        return E::LoadCustomNameFileNotExist;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        spdlog::warn("<CustomFields> load{}DataFromFile failed, open file:{} failed, error: {}", set.kind,
                     str(filePath), str(file.errorString()));
        return E::LoadCustomNameFileOpenFailed;
    }
    const QByteArray bytes = file.readAll();
    if (!set.config->loadFromData(bytes)) {
        spdlog::warn("<CustomFields> load{}DataFromFile failed, parse filedata failed.", set.kind);
        return E::LoadCustomNameParseFailed;
    }
    QString error;
    switch (writeWhole(cacheFilePath(set), bytes, error)) {
    case WriteResult::OpenFailed:
        spdlog::error("<CustomFields> open cached {}File failed: {}", set.lowerKind, str(error));
        break;
    case WriteResult::WriteFailed:
        spdlog::error("<CustomFields> write cached {}File failed: {}", set.lowerKind, str(error));
        break;
    case WriteResult::Written: break;
    }
    emit(this->*set.refreshed)();
    return E::LoadCustomNameSuccess;
}

E::SaveCustomNameResult MavCustomNameFieldsConfigManager::saveAsResParamsDataToFile(const QString& filePath)
{
    return saveAsDataToFile(m_resParams, filePath);
}

E::SaveCustomNameResult MavCustomNameFieldsConfigManager::saveAsResTeleDataToFile(const QString& filePath)
{
    return saveAsDataToFile(m_resTele, filePath);
}

E::SaveCustomNameResult MavCustomNameFieldsConfigManager::saveAsDataToFile(const NameSet& set, const QString& filePath)
{
    QByteArray bytes;
    if (!set.config->saveToData(bytes)) {
        spdlog::error("<CustomFields> saveAs{}DataToFile failed, pack fileData failed", set.kind);
        return E::SaveCustomNamePackFailed;
    }
    QString error;
    switch (writeWhole(filePath, bytes, error)) {
    case WriteResult::OpenFailed:
        spdlog::error("<CustomFields> saveAs{}DataToFile failed, open file failed: {}", set.kind, str(error));
        return E::SaveCustomNameFileOpenFailed;
    case WriteResult::WriteFailed:
        spdlog::error("<CustomFields> saveAs{}DataToFile failed, write file failed: {}", set.kind, str(error));
        return E::SaveCustomNameFileOpenFailed;
    case WriteResult::Written: break;
    }
    return E::SaveCustomNameSuccess;
}
