#pragma once
// velmora-cli's account commands: login EMAIL, logout, vehicles, remote CODE, remote --stop.
// Each sends its request, then polls account.status until the outcome is known (at most 15 s)
// and prints it. Exit codes: 0 done, 1 refused or failed, 2 bad arguments, no station or no
// outcome in time.
//
// The password of login comes from $VELMORA_PASSWORD, else from standard input: read without
// echo from a terminal, else its first line. It is never printed.

#include <QString>
#include <QStringList>

namespace CliAccountCommands {

bool handles(const QString& command);
int run(const QString& command, const QStringList& args, int timeoutMs);

}  // namespace CliAccountCommands
