#pragma once
// The cloud account and remote monitoring methods of the CLI: account.login, account.logout,
// account.status, account.vehicles.refresh|list|captcha|add|update|remove, remote.start,
// remote.stop. Account operations answer once they are sent; their outcome shows in
// account.status "operations" (kept by GcsCliAccountOutcomes).
//
// Choices where the contract is open:
// - Input is checked before the services: the params object, each field's type, then empty
//   texts, then vehicleLocalId's range; "name" may be empty.
// - account.logout is accepted while a login is still in flight: it abandons that login.
// - account.vehicles.add refuses at once when the controller answers -2005 (the active vehicle
//   does not carry the code) before the request could leave.
// - remote.start needs a session but not the code in the account list: "inAccountList" says
//   whether the last refreshed list has it. remote.stop needs no session: logging out has
//   already ended the watch.
// - No password or token is written to a log line or a reply.

#include "GcsCliRouterSupport.h"

namespace gcscli {

const std::vector<MethodSpec>& accountMethods();

}  // namespace gcscli
