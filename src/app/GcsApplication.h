#pragma once
// The process's application object. The program that loads the library constructs it in place
// of a plain QApplication, calls init(), then setAppCtrler(new GcsAppController).

#include <QApplication>
#include <QElapsedTimer>

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

    // exec() with OstMainLoopGate open while the loop runs: the CLI endpoint answers reads between
    // two events instead of after the loop's whole turn. Programs run their loop with this.
    int runLoop();

    bool event(QEvent* e) override;
    // Times every event the main thread delivers from its loop; one that holds the loop longer
    // than the threshold is logged (at most one line a second, with how many were not logged)
    // and counted, so a slow answer can be traced to the work it waited behind.
    bool notify(QObject* receiver, QEvent* e) override;

    struct LoopStalls {
        quint64 count = 0;  // deliveries over the threshold
        double longestSeconds = 0;
    };
    // 0 turns the timing off. Default kDefaultStallThresholdMs; VELMORA_STALL_MS overrides it.
    static constexpr int kDefaultStallThresholdMs = 250;
    void setStallThresholdMs(int ms) { m_stallThresholdNs = qint64(ms) * 1000000; }
    LoopStalls loopStalls() const { return m_stalls; }

private slots:
    void handleAppAboutToQuit();

private:
    GcsAppController* m_appCtrler = nullptr;
    std::shared_ptr<GcsToolBox> m_toolBox;
    std::unique_ptr<GcsCliIpcServer> m_cliIpcServer;
    bool m_released = false;
    qint64 m_stallThresholdNs = qint64(kDefaultStallThresholdMs) * 1000000;
    int m_deliveryDepth = 0;
    LoopStalls m_stalls;
    QElapsedTimer m_sinceStart;
    qint64 m_lastStallLogNs = 0;
    quint64 m_stallsNotLogged = 0;
};

// The one GcsApplication of the process, or null.
GcsApplication* gcsApp();
