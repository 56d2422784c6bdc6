#pragma once
// The response envelope of the CLI endpoint, shared by the server and the command router.
//
//   {"apiVersion": "1", "code": null | error name, "data": result | {}, "domain": "business" |
//    "transport", "message": "OK" | error text, "ok": true | false}

#include <nlohmann/json.hpp>

#include <string>

namespace GcsCliResponse {

enum class ErrorCode : int {
    NoServer = 0,
    Timeout = 1,
    NoActiveVehicle = 2,
    InvalidArgs = 3,
    CommandRejected = 4,
    VersionMismatch = 5,
};

enum class ErrorDomain : int { Transport = 0, Business = 1 };

inline const char* codeName(int code)
{
    switch (code) {
    case 0: return "NoServer";
    case 1: return "Timeout";
    case 2: return "NoActiveVehicle";
    case 3: return "InvalidArgs";
    case 4: return "CommandRejected";
    case 5: return "VersionMismatch";
    default: return "Unknown";
    }
}

inline const char* domainName(int domain)
{
    switch (domain) {
    case 0: return "transport";
    case 1: return "business";
    default: return "unknown";
    }
}

inline nlohmann::json makeSuccess(nlohmann::json data)
{
    return {{"apiVersion", "1"},    {"code", nullptr}, {"data", std::move(data)},
            {"domain", "business"}, {"message", "OK"}, {"ok", true}};
}

inline nlohmann::json makeError(ErrorCode code, const std::string& message, ErrorDomain domain = ErrorDomain::Business,
                                nlohmann::json data = nlohmann::json::object())
{
    return {{"apiVersion", "1"},       {"code", codeName(int(code))},
            {"data", std::move(data)}, {"domain", domainName(int(domain))},
            {"message", message},      {"ok", false}};
}

}  // namespace GcsCliResponse
