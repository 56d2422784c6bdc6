// main() of every test executable: isolates the process from the real home before anything
// opens a settings store, installs the log capture and runs GoogleTest inside an application.

#include "LogCapture.h"
#include "TestSupport.h"

#include "OstMainThreadExecEvent.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace {

// Stands in for the library's application object where a test needs main-thread dispatch.
class TestApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool event(QEvent* e) override
    {
        if (e->type() == OstMainThreadExecEvent::MainThreadExecEvent) {
            static_cast<OstMainThreadExecEvent*>(e)->exec();
            return true;
        }
        return QApplication::event(e);
    }
};

}  // namespace

// A test executable that needs the library's own application object defines this.
QApplication* velmoraTestCreateApplication(int& argc, char** argv) __attribute__((weak));

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const QString root = testsupport::tempRoot();
    for (const char* var : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
        QDir().mkpath(root + "/" + var);
        QFile::setPermissions(root + "/" + var, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv(var, (root + "/" + var).toLocal8Bit());
    }
    // Stations started by a test put their CLI endpoint here: short, for a socket path holds 107
    // bytes, and the process's own, so parallel test processes never meet. A test's child
    // process (VELMORA_TEST_ROOT set; it may be killed) keeps its parent's.
    std::optional<QTemporaryDir> runtimeDir;
    if (qEnvironmentVariableIsEmpty("VELMORA_TEST_ROOT")) {
        runtimeDir.emplace(QStringLiteral("/tmp/velmora-rt-XXXXXX"));
        qputenv("XDG_RUNTIME_DIR", runtimeDir->path().toLocal8Bit());
    }
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root + "/config");
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, root + "/config");

    testsupport::LogCapture::install();
    ::testing::InitGoogleTest(&argc, argv);
    int rc = 0;
    {
        std::unique_ptr<QApplication> app(velmoraTestCreateApplication ? velmoraTestCreateApplication(argc, argv)
                                                                       : new TestApplication(argc, argv));
        rc = RUN_ALL_TESTS();
    }
    if (qEnvironmentVariableIsEmpty("VELMORA_TEST_ROOT"))
        QDir(root).removeRecursively();
    return rc;
}
