// The CLI endpoint's request handling on arbitrary payloads, routed against a real application
// with its app controller (no link): every answer must be a well-formed envelope and nothing may
// escape as an exception. Methods that write or read files (route.export, route.import,
// nfz.import, firmware.update) are pointed at the fuzzer's own folder.

#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "app/GcsServerConfig.h"
#include "settings/GcsSettings.h"
#include "automation/GcsCliIpcServer.h"
#include "automation/GcsCliServiceContext.h"

#include <QDir>
#include <QSettings>

#include <spdlog/spdlog.h>

#include <cstdlib>

namespace {

GcsCliIpcServer* server()
{
    static GcsCliIpcServer* instance = [] {
        static int argc = 1;
        static char name[] = "fuzz_cli_payload";
        static char* argv[] = {name, nullptr};
        spdlog::set_level(spdlog::level::off);
        const QString root = QDir::tempPath() + "/velmora-fuzz-cli";
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root + "/config");
        GcsServerConfig::instance()->setHttpBaseUrl("http://127.0.0.1:9");
        GcsSettings::getInstance()->init(root + "/cache", root + "/data");
        auto* app = new GcsApplication(argc, argv);
        app->init();
        app->setAppCtrler(new GcsAppController(app));
        return new GcsCliIpcServer(GcsCliServiceContext{app->appCtrler()}, nullptr);
    }();
    return instance;
}

// A request naming a directory or file gets one below the fuzzer's folder instead.
QByteArray confineFileParams(const QByteArray& payload)
{
    auto request = nlohmann::json::parse(payload.constBegin(), payload.constEnd(), nullptr, false);
    if (!request.is_object() || !request.contains("params") || !request["params"].is_object())
        return payload;
    auto& params = request["params"];
    const std::string io = (QDir::tempPath() + "/velmora-fuzz-cli/io").toStdString();
    if (params.contains("dir"))
        params["dir"] = io;
    if (params.contains("path"))
        params["path"] = io + "/file";
    return QByteArray::fromStdString(request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    nlohmann::json answer;
    try {
        answer = server()->handleRequestPayload(
            confineFileParams(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size))));
    } catch (...) {
        std::abort();  // nothing may escape the endpoint
    }
    if (!answer.is_object() || !answer.contains("ok") || !answer["ok"].is_boolean() || !answer.contains("message") ||
        answer.value("apiVersion", "") != "1")
        std::abort();
    // The answer must serialise the way the endpoint writes it.
    (void)answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return 0;
}
