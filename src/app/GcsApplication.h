#pragma once
// The process's application object. The program that loads the library constructs it in place
// of a plain QApplication, calls init(), then setAppCtrler(new GcsAppController).

#include <QApplication>

#include <memory>

class GcsAppController;
class GcsCliIpcServer;
class GcsToolBox;

class GcsApplication : public QApplication {
    Q_OBJECT
public:
    GcsApplication(int& argc, char** argv);
    ~GcsApplication() override;

    void init();
    void setAppCtrler(GcsAppController* ctrl);
    GcsAppController* appCtrler() const { return m_appCtrler; }
    std::shared_ptr<GcsToolBox> toolBox() const { return m_toolBox; }
    static QString commProtocolVersion();
    void release();

    // The local CLI endpoint; the quit path stops it before releasing the controllers.
    void startCliIpcServer();
    void stopCliIpcServer();
    GcsCliIpcServer* cliIpcServer() const { return m_cliIpcServer.get(); }

    bool event(QEvent* e) override;

private slots:
    void handleAppAboutToQuit();

private:
    GcsAppController* m_appCtrler = nullptr;
    std::shared_ptr<GcsToolBox> m_toolBox;
    std::unique_ptr<GcsCliIpcServer> m_cliIpcServer;
    bool m_released = false;
};

// The one GcsApplication of the process, or null.
GcsApplication* gcsApp();
