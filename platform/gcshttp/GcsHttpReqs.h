#pragma once
// Request records of the cloud API (bodies of GcsHttp's operations). Strings are UTF-8.

#include <optional>
#include <string>

// Asks the cloud for a new, unused vehicle code that replaces the vehicle's current one.
struct GenerateVehicleCodeReq {
    std::string oldVehicleCode;  // may be empty
    int vehicleType = 0;  // airframe kind as the vehicle reports it
};

struct UserVehicleListReq {
    int page = 1;  // 1-based
    int pageSize = 100;
};

// Binds a vehicle to the logged-in account; the captcha was sent to `email` by
// GcsHttp::requestEmailCaptcha with the purpose "associate-vehicle".
struct AddUserVehicleReq {
    std::string vehicleCode;
    std::string name;
    std::optional<int> vehicleLocalId;
    std::string email;
    std::string captcha;
};

struct DeleteUserVehicleReq {
    std::string vehicleCode;
};

// Unset optionals leave the stored value unchanged.
struct UpdateUserVehicleReq {
    std::string vehicleCode;
    std::optional<std::string> name;
    std::optional<int> vehicleLocalId;
};

// The captcha was sent by GcsHttp::requestEmailCaptcha with the purpose "register".
struct EmailRegisterReq {
    std::string email;
    std::string password;
    std::string captcha;
};
