#pragma once
// For test executables that link VelmoraCore and run a GcsApplication (define
// VELMORA_TEST_GCS_APPLICATION in exactly one source of the executable to make main() build a
// GcsApplication instead of a plain application).
//
// AppHarness sets up what the station needs before an app controller exists (temporary
// settings directories, cloud URL), builds the app controller, and tears link managers down.

#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "app/GcsServerConfig.h"
#include "settings/GcsSettings.h"
#include "link/LinkManager.h"
#include "link/LinkManagerFactory.h"

#include "TestSupport.h"

#include <QApplication>

#ifdef VELMORA_TEST_GCS_APPLICATION
QApplication* velmoraTestCreateApplication(int& argc, char** argv)
{
    return new GcsApplication(argc, argv);
}
#endif

namespace testsupport {

class AppHarness {
public:
    // cloudUrl: where the HTTP client points (a velmora-cloud-sim); empty leaves it unreachable.
    explicit AppHarness(const QString& cloudUrl = QStringLiteral("http://127.0.0.1:9"))
    {
        GcsServerConfig::instance()->setHttpBaseUrl(cloudUrl);
        GcsSettings::getInstance()->init(makeTempDir("cache"), makeTempDir("data"));
        gcsApp()->init();
        ctrl = new GcsAppController(gcsApp());
        gcsApp()->setAppCtrler(ctrl);
    }

    ~AppHarness()
    {
        auto& factory = LinkManagerFactory::getInstance();
        for (const auto& mgr : factory.allLinkManagers()) {
            mgr->closeSerialPortLink();
            mgr->closeUdpSocketLink();
            factory.removeLinkManager(mgr);
        }
        factory.setActiveLinkManager(nullptr);
        gcsApp()->release();
    }

    GcsAppController* ctrl = nullptr;
};

}  // namespace testsupport
