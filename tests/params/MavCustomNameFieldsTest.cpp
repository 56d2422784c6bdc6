#include "settings/GcsSettings.h"
#include "params/MavCustomNameFieldsConfigManager.h"
#include "telemetry/MavTeleDataItemBox.h"

#include "LogCapture.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <sys/resource.h>

using E = GcsSettingsEnums;
using spdlog::level::err;
using spdlog::level::info;
using spdlog::level::warn;
using testsupport::LogCapture;

namespace {

// Initialises the settings with fresh directories; returns where the names are cached.
QString initCacheDir()
{
    GcsSettings::getInstance()->init(testsupport::makeTempDir("cache"), testsupport::makeTempDir("data"));
    return GcsSettings::getInstance()->appCachePath() + "/configs/customFields";
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(bytes);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::vector<MavCustomNameFieldPtr> names(std::initializer_list<std::pair<QString, QString>> eidAndName)
{
    std::vector<MavCustomNameFieldPtr> out;
    for (const auto& [eid, name] : eidAndName)
        out.push_back(std::make_shared<MavCustomNameField>(eid, QString(), name));
    return out;
}

// customName per eid; the eids not listed must still show their default name.
void expectNames(const std::vector<MavCustomNameFieldPtr>& fields, const std::map<QString, QString>& renamed,
                 const std::string& what)
{
    for (const auto& f : fields)
        EXPECT_EQ(f->customName, renamed.count(f->eid) ? renamed.at(f->eid) : f->name)
            << what << " eid " << f->eid.toStdString();
}

// The ".gfn" text written by hand: indent 0, keys sorted, raw UTF-8.
QByteArray expectedGfn(const QString& setName, int firstEid, const std::map<int, QString>& renamed = {})
{
    QStringList fields;
    for (int n = 0; n < 30; ++n) {
        const QString name = QString("res%1").arg(n);
        const QString custom = renamed.count(n) ? renamed.at(n) : name;
        fields << QString("{\n\"customName\": \"%1\",\n\"eid\": \"%2\",\n\"name\": \"%3\"\n}")
                      .arg(custom)
                      .arg(firstEid + n)
                      .arg(name);
    }
    return QString("{\n\"fields\": [\n%1\n],\n\"name\": \"%2\"\n}").arg(fields.join(",\n"), setName).toUtf8();
}

// Lines of the component at the level that contain the fragment.
int customFieldLines(spdlog::level::level_enum level, const std::string& fragment = std::string())
{
    return LogCapture::instance().countContaining(level, "<CustomFields> " + fragment);
}

}  // namespace

TEST(MavCustomNameFields, StartWithDefaultNamesAndExportByteExact)
{
    const QString cacheDir = initCacheDir();
    const QString outDir = testsupport::makeTempDir("out");
    MavCustomNameFieldsConfigManager mgr;
    EXPECT_EQ(mgr.resParamsFields().size(), 30u);
    EXPECT_EQ(mgr.resTeleFields().size(), 30u);
    EXPECT_EQ(mgr.resParamsFields()[29]->eid, "29");
    EXPECT_EQ(mgr.resTeleFields()[29]->eid, "529");
    EXPECT_FALSE(QFile::exists(cacheDir + "/MavResParams.gfn")) << "construction reads and writes nothing";

    EXPECT_EQ(mgr.saveAsResParamsDataToFile(outDir + "/params.gfn"), E::SaveCustomNameSuccess);
    EXPECT_EQ(readFile(outDir + "/params.gfn"), expectedGfn("", 0));
    EXPECT_EQ(mgr.saveAsResTeleDataToFile(outDir + "/tele.gfn"), E::SaveCustomNameSuccess);
    EXPECT_EQ(readFile(outDir + "/tele.gfn"), expectedGfn("", 500));

    // Given names are applied, cached in the same form and exported as raw UTF-8.
    QSignalSpy spy(&mgr, &MavCustomNameFieldsConfigManager::resParamsFieldsRefreshed);
    EXPECT_EQ(mgr.loadResParamsData(names({{"3", "油门"}, {"29", "尾\"灯"}, {"30", "x"}, {"", "y"}})),
              E::LoadCustomNameSuccess);
    EXPECT_EQ(spy.count(), 1);
    const QByteArray renamed = expectedGfn("", 0, {{3, "油门"}, {29, "尾\\\"灯"}});
    EXPECT_EQ(readFile(cacheDir + "/MavResParams.gfn"), renamed);
    EXPECT_EQ(mgr.saveAsResParamsDataToFile(outDir + "/params.gfn"), E::SaveCustomNameSuccess);
    EXPECT_EQ(readFile(outDir + "/params.gfn"), renamed) << "an existing export is replaced";
    EXPECT_TRUE(renamed.contains("油门"));

    // The set's name comes from an imported file and goes out with the next export.
    writeFile(outDir + "/named.gfn", R"({"name": "pump rig", "fields": []})");
    EXPECT_EQ(mgr.loadResParamsDataFromFile(outDir + "/named.gfn"), E::LoadCustomNameSuccess);
    EXPECT_EQ(mgr.saveAsResParamsDataToFile(outDir + "/params.gfn"), E::SaveCustomNameSuccess);
    EXPECT_EQ(readFile(outDir + "/params.gfn"), expectedGfn("pump rig", 0, {{3, "油门"}, {29, "尾\\\"灯"}}));

    LogCapture::instance().clear();
    EXPECT_EQ(mgr.saveAsResTeleDataToFile(outDir + "/missing/dir/tele.gfn"), E::SaveCustomNameFileOpenFailed);
    EXPECT_EQ(customFieldLines(err, "saveAsResTeleDataToFile failed, open file failed: "), 1);
}

TEST(MavCustomNameFields, ImportAppliesWhatIsUsableAndRefusesTheRest)
{
    const QString cacheDir = initCacheDir();
    const QString inDir = testsupport::makeTempDir("in");
    const QString lost = "<CustomFields> lost eid or customName of customField, ignore the field";
    const QString refused = "<CustomFields> loadResParamsDataFromFile failed, parse filedata failed.";
    const QString notJson = "<CustomFields> loadFromData failed, file format error";
    const QString notObject = "<CustomFields> loadFromData failed, file data is not object";
    const QString noFields = "<CustomFields> loadFromData failed, <fields> is lost or is not array";
    struct Row {
        const char* what;
        bool tele;
        QByteArray content;  // written to the imported file unless "missing" or "directory"
        E::LoadCustomNameResult result;
        std::vector<QString> warnings;
        std::map<QString, QString> renamed;
    };
    const std::vector<Row> rows = {
        {"well formed",
         false,
         R"({"name": "n", "fields": [{"eid": "3", "customName": "油门"}, {"eid": "99", "customName": "x"}]})",
         E::LoadCustomNameSuccess,
         {},
         {{"3", "油门"}}},
        {"partial",
         false,
         R"({"fields": [{"eid": "4"}, {"customName": "y"}, 7, ["5", "z"], {"eid": 5, "customName": "n"},
                        {"eid": "6", "customName": null}, {"eid": "03", "customName": "z"},
                        {"eid": "6", "customName": "六", "name": "ignored"}, {"eid": "7", "customName": ""}]})",
         E::LoadCustomNameSuccess,
         {lost, lost, lost, lost, lost, lost},
         {{"6", "六"}, {"7", ""}}},
        {"not JSON",
         false,
         R"({"fields": [{"eid": "3", "customName": "x"})",
         E::LoadCustomNameParseFailed,
         {notJson, refused},
         {}},
        {"invalid UTF-8",
         false,
         "{\"fields\": [{\"eid\": \"3\", \"customName\": \"\xff\"}]}",
         E::LoadCustomNameParseFailed,
         {notJson, refused},
         {}},
        {"array",
         false,
         R"([{"eid": "3", "customName": "x"}])",
         E::LoadCustomNameParseFailed,
         {notObject, refused},
         {}},
        {"no fields", false, R"({"name": "n"})", E::LoadCustomNameParseFailed, {noFields, refused}, {}},
        {"fields not an array",
         false,
         R"({"fields": {"eid": "3", "customName": "x"}})",
         E::LoadCustomNameParseFailed,
         {noFields, refused},
         {}},
        {"telemetry ids",
         true,
         R"({"fields": [{"eid": "503", "customName": "流量"}, {"eid": "3", "customName": "x"}]})",
         E::LoadCustomNameSuccess,
         {},
         {{"503", "流量"}}},
        {"telemetry refused",
         true,
         "[]",
         E::LoadCustomNameParseFailed,
         {notObject, "<CustomFields> loadResTeleDataFromFile failed, parse filedata failed."},
         {}},
        {"missing",
         false,
         "missing",
         E::LoadCustomNameFileNotExist,
         {QString("<CustomFields> loadResParamsDataFromFile failed , filePath:%1/missing.gfn not exist").arg(inDir)},
         {}},
        {"directory", true, "directory", E::LoadCustomNameFileOpenFailed, {}, {}},
    };
    int index = 0;
    for (const auto& row : rows) {
        QFile::remove(cacheDir + "/MavResParams.gfn");
        QFile::remove(cacheDir + "/MavResTele.gfn");
        QString path = QString("%1/%2.gfn").arg(inDir).arg(index++);
        if (row.content == "missing")
            path = inDir + "/missing.gfn";
        else if (row.content == "directory")
            QDir().mkpath(path);
        else
            writeFile(path, row.content);

        MavCustomNameFieldsConfigManager mgr;
        QSignalSpy paramsSpy(&mgr, &MavCustomNameFieldsConfigManager::resParamsFieldsRefreshed);
        QSignalSpy teleSpy(&mgr, &MavCustomNameFieldsConfigManager::resTeleFieldsRefreshed);
        LogCapture::instance().clear();
        const auto result = row.tele ? mgr.loadResTeleDataFromFile(path) : mgr.loadResParamsDataFromFile(path);

        EXPECT_EQ(result, row.result) << row.what;
        const bool ok = result == E::LoadCustomNameSuccess;
        EXPECT_EQ((row.tele ? teleSpy : paramsSpy).count(), ok ? 1 : 0) << row.what;
        EXPECT_EQ((row.tele ? paramsSpy : teleSpy).count(), 0) << row.what;
        expectNames(row.tele ? mgr.resTeleFields() : mgr.resParamsFields(), row.renamed, row.what);
        expectNames(row.tele ? mgr.resParamsFields() : mgr.resTeleFields(), {}, row.what);
        const QString cached = cacheDir + (row.tele ? "/MavResTele.gfn" : "/MavResParams.gfn");
        EXPECT_EQ(QFile::exists(cached), ok) << row.what;
        if (ok) {
            EXPECT_EQ(readFile(cached), row.content) << row.what << ": cached as read";
        }

        if (row.content == "directory") {
            const auto line = QString("loadResTeleDataFromFile failed, open file:%1 failed, error: ").arg(path);
            EXPECT_EQ(customFieldLines(warn, line.toStdString()), 1);
            continue;
        }
        EXPECT_EQ(customFieldLines(warn), int(row.warnings.size())) << row.what;
        for (const auto& line : row.warnings) {
            const std::string text = line.toStdString();
            EXPECT_GE(LogCapture::instance().count(warn, text), 1) << row.what << ": " << text;
        }
    }
}

TEST(MavCustomNameFields, CacheBringsNamesBackAtStart)
{
    const QString cacheDir = initCacheDir();
    {
        MavCustomNameFieldsConfigManager mgr;
        QSignalSpy spy(&mgr, &MavCustomNameFieldsConfigManager::resParamsFieldsRefreshed);
        LogCapture::instance().clear();
        mgr.loadAllFromCache();
        EXPECT_EQ(spy.count(), 0);
        EXPECT_EQ(customFieldLines(info, "no cached ResParams customName config when loadAll"), 1);
        EXPECT_EQ(customFieldLines(info, "no cached ResTele customName config when loadAll"), 1);

        EXPECT_EQ(mgr.loadResParamsData(names({{"2", "压力"}})), E::LoadCustomNameSuccess);
        EXPECT_EQ(mgr.loadResTeleData(names({{"529", "温度"}})), E::LoadCustomNameSuccess);
    }
    {
        // A restart: defaults until the cache is loaded, then one signal per set.
        MavCustomNameFieldsConfigManager mgr;
        expectNames(mgr.resParamsFields(), {}, "before load");
        QSignalSpy paramsSpy(&mgr, &MavCustomNameFieldsConfigManager::resParamsFieldsRefreshed);
        QSignalSpy teleSpy(&mgr, &MavCustomNameFieldsConfigManager::resTeleFieldsRefreshed);
        mgr.loadAllFromCache();
        EXPECT_EQ(paramsSpy.count(), 1);
        EXPECT_EQ(teleSpy.count(), 1);
        expectNames(mgr.resParamsFields(), {{"2", "压力"}}, "restored");
        expectNames(mgr.resTeleFields(), {{"529", "温度"}}, "restored");
    }
    {
        // A damaged cache file leaves its set at the defaults; the other set still loads.
        writeFile(cacheDir + "/MavResTele.gfn", "{\"fields\": [");
        MavCustomNameFieldsConfigManager mgr;
        QSignalSpy paramsSpy(&mgr, &MavCustomNameFieldsConfigManager::resParamsFieldsRefreshed);
        QSignalSpy teleSpy(&mgr, &MavCustomNameFieldsConfigManager::resTeleFieldsRefreshed);
        LogCapture::instance().clear();
        mgr.loadAllFromCache();
        EXPECT_EQ(paramsSpy.count(), 1);
        EXPECT_EQ(teleSpy.count(), 0);
        EXPECT_EQ(customFieldLines(warn, "load ResTele customName failed when laodAll, parse file failed"), 1);
        expectNames(mgr.resTeleFields(), {}, "damaged cache");
        expectNames(mgr.resParamsFields(), {{"2", "压力"}}, "intact cache");
    }
}

TEST(MavCustomNameFields, UnwritableCacheDirectoryKeepsNamesInMemoryOnly)
{
    const QString cacheDir = initCacheDir();
    QDir().mkpath(QFileInfo(cacheDir).path());
    writeFile(cacheDir, "occupied");  // a regular file where the directory belongs
    const QString userFile = testsupport::makeTempDir("in") + "/names.gfn";
    writeFile(userFile, R"({"fields": [{"eid": "510", "customName": "转速"}]})");

    MavCustomNameFieldsConfigManager mgr;
    QSignalSpy paramsSpy(&mgr, &MavCustomNameFieldsConfigManager::resParamsFieldsRefreshed);
    QSignalSpy teleSpy(&mgr, &MavCustomNameFieldsConfigManager::resTeleFieldsRefreshed);
    LogCapture::instance().clear();

    EXPECT_EQ(mgr.loadResParamsData(names({{"7", "泵"}})), E::LoadCustomNameFileOpenFailed);
    EXPECT_EQ(customFieldLines(err, "loadResParamsData failed, open file failed: "), 1);
    EXPECT_EQ(paramsSpy.count(), 0) << "nothing cached, nothing announced";
    expectNames(mgr.resParamsFields(), {{"7", "泵"}}, "applied in memory");

    // An import still succeeds; only its cached copy is missing.
    EXPECT_EQ(mgr.loadResTeleDataFromFile(userFile), E::LoadCustomNameSuccess);
    EXPECT_EQ(customFieldLines(err, "open cached resTeleFile failed: "), 1);
    EXPECT_EQ(teleSpy.count(), 1);
    expectNames(mgr.resTeleFields(), {{"510", "转速"}}, "imported");

    EXPECT_EQ(readFile(cacheDir), "occupied");
}

TEST(MavCustomNameFields, FailedWritesLeaveExistingFilesIntact)
{
    const QString cacheDir = initCacheDir();
    const QString cacheFile = cacheDir + "/MavResParams.gfn";
    const QString outDir = testsupport::makeTempDir("out");
    writeFile(outDir + "/import.gfn", R"({"name": "longer than the size limit of the write below",
                                         "fields": [{"eid": "1", "customName": "导入"}]})");
    writeFile(outDir + "/export.gfn", "earlier export");

    MavCustomNameFieldsConfigManager mgr;
    ASSERT_EQ(mgr.loadResParamsData(names({{"1", "甲"}})), E::LoadCustomNameSuccess);
    const QByteArray cachedBefore = readFile(cacheFile);
    ASSERT_FALSE(cachedBefore.isEmpty());

    // A full disk: no file of this process may grow past 64 bytes for a moment.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    LogCapture::instance().clear();
    const auto loaded = mgr.loadResParamsData(names({{"1", "乙"}}));
    const auto imported = mgr.loadResParamsDataFromFile(outDir + "/import.gfn");
    const auto exported = mgr.saveAsResParamsDataToFile(outDir + "/export.gfn");
    setrlimit(RLIMIT_FSIZE, &saved);

    EXPECT_EQ(loaded, E::LoadCustomNameFileOpenFailed);
    EXPECT_EQ(customFieldLines(err, "loadResParamsData failed, write file failed: "), 1);
    EXPECT_EQ(imported, E::LoadCustomNameSuccess);
    EXPECT_EQ(customFieldLines(err, "write cached resParamsFile failed: "), 1);
    EXPECT_EQ(exported, E::SaveCustomNameFileOpenFailed);
    EXPECT_EQ(customFieldLines(err, "saveAsResParamsDataToFile failed, write file failed: "), 1);

    EXPECT_EQ(readFile(cacheFile), cachedBefore);
    EXPECT_EQ(readFile(outDir + "/export.gfn"), "earlier export");
    EXPECT_EQ(QDir(cacheDir).entryList(QDir::Files), QStringList{"MavResParams.gfn"}) << "no temporary file left";
    MavCustomNameFieldsConfigManager restarted;
    restarted.loadAllFromCache();
    expectNames(restarted.resParamsFields(), {{"1", "甲"}}, "the last complete cache");
}

TEST(MavCustomNameFields, ItemBoxFollowsTheTelemetryNames)
{
    initCacheDir();
    const QString userFile = testsupport::makeTempDir("in") + "/names.gfn";
    writeFile(userFile, R"({"fields": [{"eid": "510", "customName": "温度"}]})");
    auto mgr = std::make_shared<MavCustomNameFieldsConfigManager>();
    ASSERT_EQ(mgr->loadResTeleData(names({{"505", "泵压"}})), E::LoadCustomNameSuccess);

    MavTeleDataItemBox existing;
    const auto item = existing.getDataItem(47);
    QSignalSpy spy(item.get(), &MavTeleBaseDataItem::dataChanged);
    existing.setCustomNameFieldsConfigManager(mgr);
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(existing.getDataElement(505)->displayName(), "泵压");

    MavTeleDataItemBox later;
    later.setCustomNameFieldsConfigManager(mgr);
    EXPECT_EQ(later.getDataElement(505)->displayName(), "泵压") << "item created after the manager was set";

    // A refresh reaches both boxes; parameter names do not touch telemetry.
    ASSERT_EQ(mgr->loadResTeleDataFromFile(userFile), E::LoadCustomNameSuccess);
    EXPECT_EQ(existing.getDataElement(510)->displayName(), "温度");
    EXPECT_EQ(later.getDataElement(510)->displayName(), "温度");
    EXPECT_EQ(spy.count(), 2);
    ASSERT_EQ(mgr->loadResParamsData(names({{"5", "x"}})), E::LoadCustomNameSuccess);
    EXPECT_EQ(spy.count(), 2);
    EXPECT_EQ(existing.getDataElement(505)->displayName(), "泵压");

    // Once the manager is gone the box keeps working on names handed in directly.
    mgr.reset();
    existing.setResTeleCustomNameFields(names({{"505", "手动"}}));
    EXPECT_EQ(existing.getDataElement(505)->displayName(), "手动");
}
