#pragma once
// The application's two custom field name sets: reserved parameters (eids "0" .. "29") and
// reserved telemetry (the telemetry element ids). Both start with every customName equal to the
// element's default name; loadAllFromCache() then restores the last names from the application
// cache ("configs/customFields/MavResParams.gfn" and ".../MavResTele.gfn"). Each accepted change
// emits the set's refreshed signal; vehicles and the telemetry item box push the names on.
//
// Every file is written through QSaveFile: a failed or interrupted write leaves the previous file
// as it was. A write that opens but cannot be completed counts like one that cannot be opened
// (its own log line, same result). Log lines carry the file error text where they show "{}";
// refused files log at warning, failed writes at error, a missing cache at info.
// Main thread only; file operations are synchronous.

#include "settings/GcsSettingsEnums.h"
#include "common/MavCustomNameField.h"
#include "params/MavCustomNameFieldsConfig.h"

#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class MavCustomNameFieldsConfigManager : public QObject {
    Q_OBJECT
public:
    explicit MavCustomNameFieldsConfigManager(QObject* parent = nullptr);

    std::vector<MavCustomNameFieldPtr> resParamsFields() const { return m_resParams.config->nameFields(); }
    std::vector<MavCustomNameFieldPtr> resTeleFields() const { return m_resTele.config->nameFields(); }

    // A cache file that is missing or unparsable leaves its set as it is.
    void loadAllFromCache();

    // Applies the given names (by eid), then caches the set. The names stay applied even when
    // the cache cannot be written, but only a cached change emits the refreshed signal.
    GcsSettingsEnums::LoadCustomNameResult loadResParamsData(const std::vector<MavCustomNameFieldPtr>& fields);
    GcsSettingsEnums::LoadCustomNameResult loadResTeleData(const std::vector<MavCustomNameFieldPtr>& fields);

    // Imports a ".gfn" file and caches it byte for byte. A failure to cache is logged and does
    // not change the result.
    GcsSettingsEnums::LoadCustomNameResult loadResParamsDataFromFile(const QString& filePath);
    GcsSettingsEnums::LoadCustomNameResult loadResTeleDataFromFile(const QString& filePath);

    GcsSettingsEnums::SaveCustomNameResult saveAsResParamsDataToFile(const QString& filePath);
    GcsSettingsEnums::SaveCustomNameResult saveAsResTeleDataToFile(const QString& filePath);

signals:
    void resParamsFieldsRefreshed();
    void resTeleFieldsRefreshed();

private:
    // What tells the two sets apart: their config, cache file, log names and signal.
    struct NameSet {
        MavCustomNameFieldsConfigPtr config;
        const char* fileName;  // in the cache directory
        const char* kind;  // "ResParams" / "ResTele", as the log lines spell it
        const char* lowerKind;  // "resParams" / "resTele"
        void (MavCustomNameFieldsConfigManager::*refreshed)();
    };

    // Empty while the settings have no cache directory, so nothing is written outside it.
    static QString cacheFilePath(const NameSet& set);
    void loadFromCache(const NameSet& set);
    GcsSettingsEnums::LoadCustomNameResult loadData(const NameSet& set,
                                                    const std::vector<MavCustomNameFieldPtr>& fields);
    GcsSettingsEnums::LoadCustomNameResult loadDataFromFile(const NameSet& set, const QString& filePath);
    GcsSettingsEnums::SaveCustomNameResult saveAsDataToFile(const NameSet& set, const QString& filePath);

    NameSet m_resParams;
    NameSet m_resTele;
};

using MavCustomNameFieldsConfigManagerPtr = std::shared_ptr<MavCustomNameFieldsConfigManager>;
