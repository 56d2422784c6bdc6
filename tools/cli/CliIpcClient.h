#pragma once
// Sends one request frame to the station's CLI endpoint and waits for the one response frame.
// The endpoint is a local socket named like the server's, so it is looked up below $TMPDIR just
// as the station created it, unless setEndpoint names another socket (a full path, for a station
// started with --endpoint-dir).
//
// Transport failures come back as envelopes of domain "transport": "NoServer" when nothing
// accepts the connection or the connection ends without a usable response frame (closed early,
// oversized or not JSON), "Timeout" when the whole exchange outlasts the time-out.

#include <QString>

#include <nlohmann/json.hpp>

class CliIpcClient {
public:
    enum class Outcome { Answered, NoServer, Timeout };

    struct Result {
        Outcome outcome = Outcome::NoServer;
        nlohmann::json envelope;
    };

    static constexpr const char* kEndpointName = "Tarnwick_CliIpc_v1";
    static constexpr qint64 kMaxFramePayload = 4 * 1024 * 1024;

    static void setEndpoint(const QString& endpoint);
    static nlohmann::json makeRequest(const std::string& method, nlohmann::json params);
    static Result send(const nlohmann::json& request, int timeoutMs);
};
