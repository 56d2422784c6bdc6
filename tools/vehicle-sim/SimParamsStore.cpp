#include "SimParamsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

namespace {

const QString kVehicles = QStringLiteral("vehicles");

}  // namespace

bool SimParamsStore::load(const std::string& defaultCode, QString& error)
{
    m_root = {};
    m_entries.clear();
    const QFileInfo info(m_path);
    if (!info.exists()) {
        if (!info.absoluteDir().exists()) {
            error = QStringLiteral("params file %1: folder %2 does not exist").arg(m_path, info.absolutePath());
            return false;
        }
        return true;
    }

    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("params file %1: cannot read: %2").arg(m_path, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        error = QStringLiteral("params file %1: not valid JSON at offset %2: %3")
                    .arg(m_path)
                    .arg(parseError.offset)
                    .arg(parseError.errorString());
        return false;
    }
    if (!doc.isObject() || !doc.object().value(kVehicles).isObject()) {
        error = QStringLiteral("params file %1: needs an object with a \"vehicles\" object").arg(m_path);
        return false;
    }

    const QJsonObject vehicles = doc.object().value(kVehicles).toObject();
    std::map<int, SimParams> entries;
    for (auto it = vehicles.begin(); it != vehicles.end(); ++it) {
        bool ok = false;
        const int slot = it.key().toInt(&ok, 10);
        if (!ok || slot < 1 || slot > 255 || QString::number(slot) != it.key()) {
            error =
                QStringLiteral("params file %1: vehicle key \"%2\" is not an id from 1 to 255").arg(m_path, it.key());
            return false;
        }
        if (!it.value().isObject()) {
            error = QStringLiteral("params file %1: vehicle %2 is not an object").arg(m_path, it.key());
            return false;
        }
        SimParams params = SimParams::defaults(uint8_t(slot), defaultCode);
        QString reason;
        if (!params.readJson(it.value().toObject(), reason)) {
            error = QStringLiteral("params file %1: vehicle %2: %3").arg(m_path, it.key(), reason);
            return false;
        }
        entries.emplace(slot, params);
    }
    m_root = doc.object();
    m_entries = std::move(entries);
    return true;
}

const SimParams* SimParamsStore::entry(int slotId) const
{
    const auto it = m_entries.find(slotId);
    return it == m_entries.end() ? nullptr : &it->second;
}

bool SimParamsStore::save(int slotId, const SimParams& params, QString& error)
{
    QJsonObject vehicles = m_root.value(kVehicles).toObject();
    vehicles.insert(QString::number(slotId), params.toJson());
    QJsonObject root = m_root;
    root.insert(kVehicles, vehicles);
    const QByteArray bytes = QJsonDocument(root).toJson(QJsonDocument::Indented);

    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        error = QStringLiteral("params file %1: cannot write: %2").arg(m_path, file.errorString());
        return false;
    }
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            error = QStringLiteral("params file %1: cannot write: %2").arg(m_path, file.errorString());
            file.cancelWriting();
            return false;
        }
        done += n;
    }
    if (!file.commit()) {
        error = QStringLiteral("params file %1: cannot write: %2").arg(m_path, file.errorString());
        return false;
    }
    // Only what is on disk counts as stored.
    m_root = root;
    m_entries[slotId] = params;
    return true;
}
