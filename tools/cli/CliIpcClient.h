#pragma once
// Sends one request frame to the station's CLI endpoint and waits for the one response frame.
// Without setEndpoint the endpoint is searched where stations put it, in this order:
// $XDG_RUNTIME_DIR/velmora (the user's own station), /run/velmora (the system's service, reached
// through the group velmora), $TMPDIR/velmora-UID, and $TMPDIR itself (a program that embeds the
// library's endpoint as it is); the first that exists is used. setEndpoint names a socket (a full
// path, for a station started with --endpoint-dir). An endpoint that belongs to another user than
// this one, root or the station's user "velmora" is refused with its owner named.
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
    static constexpr const char* kStationUser = "velmora";
    static constexpr qint64 kMaxFramePayload = 4 * 1024 * 1024;

    static void setEndpoint(const QString& endpoint);
    static nlohmann::json makeRequest(const std::string& method, nlohmann::json params);
    static Result send(const nlohmann::json& request, int timeoutMs);
};
