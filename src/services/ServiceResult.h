#pragma once
// What every service operation answers: a kind that front ends map to their own codes (the CLI's
// error codes, a MAVLink result, a window's message box), a message in words for the operator,
// and the operation's data as a plain struct. A refusal always says why.

#include <string>
#include <utility>

namespace svc {

enum class Kind {
    Ok,
    Invalid,  // the request itself is wrong (a value out of range, a missing field)
    NoVehicle,  // no vehicle answers to the selector
    NotFound,  // a route, zone or request id that does not exist
    Refused,  // the station will not do it now; the message says why and what to do
    Busy,  // another operation runs on the same vehicle or store; the message names it
    Timeout,  // the work did not finish in time
};

struct Status {
    Kind kind = Kind::Ok;
    std::string message;

    bool ok() const { return kind == Kind::Ok; }
    explicit operator bool() const { return !ok(); }  // true when the operation failed

    static Status success() { return {}; }
    static Status invalid(std::string m) { return {Kind::Invalid, std::move(m)}; }
    static Status noVehicle(std::string m) { return {Kind::NoVehicle, std::move(m)}; }
    static Status notFound(std::string m) { return {Kind::NotFound, std::move(m)}; }
    static Status refused(std::string m) { return {Kind::Refused, std::move(m)}; }
    static Status busy(std::string m) { return {Kind::Busy, std::move(m)}; }
    static Status timeout(std::string m) { return {Kind::Timeout, std::move(m)}; }
};

template <class T>
struct Result {
    Status status;
    T value{};

    Result() = default;
    Result(Status s)  // NOLINT: a failure converts
        : status(std::move(s))
    {
    }
    Result(T v)  // NOLINT: a success converts
        : value(std::move(v))
    {
    }
    bool ok() const { return status.ok(); }
};

}  // namespace svc
