#pragma once
// One program's settings from its command line and its configuration file (TOML, read with
// toml++): every command-line option is a key of the same name without the dashes, and the
// command line wins over the file, the file over the defaults.
//
//   log-level = "debug"          # an option with a value: a string
//   http = 8470                  # a whole-number option: an integer
//   no-cloud = true              # a flag: true or false
//   mavlink = ["udp:127.0.0.1:14550", "tcpin:5760"]   # an option that may repeat: a list
//
// Every entry of the file is checked against the program's table of options: an unknown key, a
// table, a value of the wrong type or a syntax error is an error naming the file, the line and
// the key. A list on the command line replaces the file's list. Values reach the program as the
// same text the command line gives, so both are checked by the same code.

#include <QString>
#include <QStringList>

#include <map>
#include <vector>

namespace progconfig {

enum class Kind {
    Flag,  // no value on the command line; true or false in the file
    Text,  // a string
    Int,  // a whole number
    Number,  // a number, whole or decimal
    List,  // repeats on the command line; a list of strings (or one string) in the file
};

struct Spec {
    const char* name;  // without the dashes
    Kind kind;
    bool commandLineOnly = false;  // --config, --print-config: never read from a file
    bool secret = false;  // shown masked by describe()
};

struct Setting {
    QString name;
    QString value;  // the option's text; a flag's is "true" or "false"
    QString source;  // "command line", "FILE:LINE" or "environment"
};

// Where each effective value came from, by key; a key not in it has its default.
using Sources = std::map<QString, QString>;

// argv (without the program name) as settings. "help" for -h/--help, otherwise an error text or
// empty.
QString fromCommandLine(const QStringList& args, const std::vector<Spec>& specs, std::vector<Setting>& out);

// The file's settings in file order. An error text names the file and line.
QString fromFile(const QString& path, const std::vector<Spec>& specs, std::vector<Setting>& out);

// The configuration file to read: the last --config of the command line ("" for --no-config), else
// defaultPath when this program is the installed one (it runs from /usr/bin or the build's
// install prefix) and the file exists, else "". An explicit --config that does not exist is an
// error.
QString chooseFile(const std::vector<Setting>& commandLine, const QString& defaultPath, QString& error);

// "FILE:LINE: key 'NAME': " for a file's setting, "" for the command line's.
QString prefixOf(const Setting& setting);

// The effective values as a TOML document a program can read back: one key a line, each with its
// source as a comment, secrets masked, unset keys commented out.
struct Value {
    QString key;
    QStringList values;  // empty: unset
    Kind kind;
};
QString describe(const QString& program, const QString& file, const std::vector<Value>& values,
                 const std::vector<Spec>& specs, const Sources& sources);

}  // namespace progconfig
