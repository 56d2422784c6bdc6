#pragma once
// The account operations as the CLI sees them: for each of login, vehicle list refresh,
// vehicle captcha, add, remove and update, whether an answer is still awaited and the code of
// the last answer (the GcsHttp code the operation's ...Resp signal carried). Owned by
// GcsCliOutcomeRecorder; main thread only.
//
// Choices:
// - "pending" counts the starts noted here against the answers that arrive, so a second
//   refresh sent before the first answered keeps it pending; answers to operations started
//   elsewhere (the UI) update lastCode but never make the count negative.
// - A login that ends without an answer (logout() abandons it) is no longer pending once the
//   login state leaves LoggingIn.

#include <QObject>
#include <QPointer>

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <optional>

namespace svc {
class StationPort;
}

class GcsCliAccountOutcomes : public QObject {
    Q_OBJECT
public:
    enum Operation { Login, VehiclesRefresh, VehicleCaptcha, VehicleAdd, VehicleRemove, VehicleUpdate, kCount };

    explicit GcsCliAccountOutcomes(QObject* parent = nullptr);

    // Binds to the controller's login manager and account vehicle controller; repeat-safe.
    void attach(svc::StationPort* station);

    // Call before starting the operation: its answer may come before the call returns.
    void noteStarted(Operation op);
    // The start was refused without an answer to come.
    void noteRefused(Operation op);

    bool pending(Operation op) const { return m_ops[op].outstanding > 0; }
    std::optional<int> lastCode(Operation op) const { return m_ops[op].lastCode; }
    // Answers seen so far, to tell whether one came while a call ran.
    uint64_t answerCount(Operation op) const { return m_ops[op].answers; }

    // {"login": {"pending", "lastCode"}, "vehiclesRefresh": ..., ...}.
    nlohmann::json status() const;

private:
    struct State {
        int outstanding = 0;
        std::optional<int> lastCode;
        uint64_t answers = 0;
    };
    void answered(Operation op, int code);

    std::array<State, kCount> m_ops;
    QPointer<QObject> m_login;
    QPointer<QObject> m_vehicles;
};
