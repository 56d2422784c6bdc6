#pragma once
// The local cloud service: every endpoint of GcsHttp (see platform/gcshttp/GcsHttp.h for
// paths and reply shapes) over QHttpServer on 127.0.0.1, with in-memory state.
//
// - Accounts come from the options (and e-mail registration); a login (password, e-mail
//   registration or token) opens a session with a fresh token and its own MQTT client id
//   "gcs-<uid>-<n>". A token login replaces the session it names.
// - The vehicle endpoints and activateVehicleMqtt need the X-Gcs-Token header of an open
//   session (else 401); zones, code generation, captchas and reports do not.
// - Captchas (six digits) are kept per e-mail and purpose; adding a vehicle needs the latest
//   "associate-vehicle" captcha of the e-mail it names, registering the latest "register" one.
// - The zone file is read again for every request and served as it is, so a test can serve a
//   broken document; without a zone file the document is []. A served file's UTC modification
//   time rides in the X-Nfz-Update-Time header ("2026-01-02T03:04:05Z").
// - GET /sim/received lists what the service received, for tests to assert on:
//   {"events", "deviceReports", "captchas", "activations", "generatedCodes"}; each event and
//   device report also holds the X-Gcs-* headers it came with, under "headers".
// - Injected failures answer {"error": "injected failure"} with their code and change nothing;
//   the delay applies to every answer.
// Bad requests answer 400 with {"error": text}; unknown paths 404, wrong methods 405.

#include <QHash>
#include <QHttpServer>
#include <QHttpServerResponder>
#include <QObject>
#include <QString>

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <vector>

class CloudSimService : public QObject {
public:
    struct Vehicle {
        std::string code;
        std::string name;
        int localId = 0;
    };
    struct Account {
        std::string email;
        std::string password;
        std::string uid;
        std::string teamCode;
        std::vector<Vehicle> vehicles;
    };
    struct Options {
        QString zonesFile;
        QHash<QString, int> failures;  // path -> HTTP status
        int delayMs = 0;
        std::vector<Account> accounts;  // uid and teamCode are filled in by the service
    };

    explicit CloudSimService(Options options, QObject* parent = nullptr);

    // Listens on 127.0.0.1; returns the port, 0 on failure.
    quint16 listen(quint16 port);

private:
    struct Request {
        QString method;
        QString path;
        QUrlQuery query;
        nlohmann::json headers;  // the X-Gcs-* values
        std::string token;
        nlohmann::json body;  // discarded when not JSON
    };
    struct Reply {
        int status = 200;
        QByteArray body;
        QByteArray nfzUpdateTime;  // sent as X-Nfz-Update-Time when not empty
    };

    static void writeReply(QHttpServerResponder& responder, const Reply& reply,
                           QHttpServerResponder::StatusCode status);
    Reply dispatch(const Request& req);
    Reply zones() const;
    Reply activate(const Request& req);
    Reply generateCode(const Request& req);
    Reply deviceReport(const Request& req);
    Reply eventReport(const Request& req);
    Reply listVehicles(const Request& req);
    Reply addVehicle(const Request& req);
    Reply deleteVehicle(const Request& req);
    Reply updateVehicle(const Request& req);
    Reply captcha(const Request& req);
    Reply registerAccount(const Request& req);
    Reply passwordLogin(const Request& req);
    Reply tokenLogin(const Request& req);
    Reply logout(const Request& req);
    Reply received() const;

    Account& createAccount(const std::string& email, const std::string& password);
    Account* accountOf(const Request& req);
    Reply openSession(Account& account);
    bool takeCaptcha(const std::string& email, const std::string& purpose, const std::string& code);

    static Reply ok(const nlohmann::json& doc);
    static Reply error(int status, const std::string& text);
    static nlohmann::json vehicleJson(const Vehicle& v);

    Options m_options;
    QHttpServer m_server;
    std::vector<Account> m_accounts;  // stable indexes: accounts are never removed
    std::map<std::string, size_t> m_sessions;  // token -> account index
    std::map<std::pair<std::string, std::string>, std::string> m_captchas;  // (email, purpose) -> code
    int m_loginCount = 0;
    int m_codeCount = 0;
    nlohmann::json m_events = nlohmann::json::array();
    nlohmann::json m_deviceReports = nlohmann::json::array();
    nlohmann::json m_captchaLog = nlohmann::json::array();
    nlohmann::json m_activations = nlohmann::json::array();
    nlohmann::json m_generatedCodes = nlohmann::json::array();
};
