#pragma once
// What the CLI endpoint remembers between requests of the work the services do not keep
// themselves: the last zone sync and zone transfer (GcsCliNfzOutcomes) and the account
// operations (GcsCliAccountOutcomes). Command, parameter, route transfer and firmware outcomes,
// and the console lines, are the services' (svc::OutcomeRecorder and the services).
//
// It binds itself to the station's controllers; attach() repeats the binding (the station may
// be set after the endpoint). All calls belong on the main thread.

#include <QObject>

class GcsCliAccountOutcomes;
class GcsCliNfzOutcomes;
namespace svc {
class StationPort;
}

class GcsCliOutcomeRecorder : public QObject {
    Q_OBJECT
public:
    explicit GcsCliOutcomeRecorder(svc::StationPort* station, QObject* parent = nullptr);
    ~GcsCliOutcomeRecorder() override;

    void attach();

    // No-fly-zone syncs and transfers (nfz.status).
    GcsCliNfzOutcomes& nfz() const { return *m_nfz; }
    // Login and account vehicle operations (account.status).
    GcsCliAccountOutcomes& account() const { return *m_account; }

private:
    svc::StationPort* m_station = nullptr;
    GcsCliNfzOutcomes* m_nfz = nullptr;  // a child
    GcsCliAccountOutcomes* m_account = nullptr;  // a child
};
