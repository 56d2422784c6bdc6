#include "ProgramConfig.h"

#include <QFile>
#include <QFileInfo>

#include <toml++/toml.h>

#include <algorithm>
#include <optional>

#include <unistd.h>

namespace progconfig {

namespace {

constexpr qint64 kMostFileBytes = 1024 * 1024;
const QString kCommandLine = QStringLiteral("command line");

const Spec* findSpec(const std::vector<Spec>& specs, const QString& name)
{
    for (const Spec& s : specs)
        if (name == QLatin1String(s.name))
            return &s;
    return nullptr;
}

QString typeName(const toml::node& node)
{
    switch (node.type()) {
    case toml::node_type::string: return QStringLiteral("a string");
    case toml::node_type::integer: return QStringLiteral("a whole number");
    case toml::node_type::floating_point: return QStringLiteral("a decimal number");
    case toml::node_type::boolean: return QStringLiteral("true or false");
    case toml::node_type::array: return QStringLiteral("a list");
    case toml::node_type::table: return QStringLiteral("a table");
    default: return QStringLiteral("a date or time");
    }
}

QString expected(Kind kind)
{
    switch (kind) {
    case Kind::Flag: return QStringLiteral("true or false");
    case Kind::Text: return QStringLiteral("a string");
    case Kind::Int: return QStringLiteral("a whole number");
    case Kind::Number: return QStringLiteral("a number");
    case Kind::List: return QStringLiteral("a list of strings");
    }
    return {};
}

QString tomlString(const QString& text)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == '"' || c == '\\')
            out += '\\' + QString(c);
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\u%1").arg(int(c.unicode()), 4, 16, QChar('0'));
        else
            out += c;
    }
    return out + '"';
}

QString executableDir()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? QFileInfo(QString::fromLocal8Bit(path, int(n))).absolutePath() : QString();
}

}  // namespace

QString fromCommandLine(const QStringList& args, const std::vector<Spec>& specs, std::vector<Setting>& out)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == "-h" || a == "--help")
            return QStringLiteral("help");
        const Spec* spec = a.startsWith("--") ? findSpec(specs, a.mid(2)) : nullptr;
        if (!spec)
            return QStringLiteral("unknown argument '%1'").arg(a);
        if (spec->kind == Kind::Flag) {
            out.push_back({a.mid(2), QStringLiteral("true"), kCommandLine});
            continue;
        }
        if (i + 1 >= args.size())
            return QStringLiteral("%1 needs a value").arg(a);
        out.push_back({a.mid(2), args.at(++i), kCommandLine});
    }
    return {};
}

QString fromFile(const QString& path, const std::vector<Spec>& specs, std::vector<Setting>& out)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1: cannot read the configuration file").arg(path);
    const QByteArray text = file.read(kMostFileBytes + 1);
    if (text.size() > kMostFileBytes)
        return QStringLiteral("%1: larger than %2 bytes, not a configuration file").arg(path).arg(kMostFileBytes);
    toml::table table;
    try {
        table = toml::parse(std::string_view(text.constData(), size_t(text.size())), path.toStdString());
    } catch (const toml::parse_error& e) {
        return QStringLiteral("%1:%2: %3")
            .arg(path)
            .arg(e.source().begin.line)
            .arg(QString::fromUtf8(e.description().data(), qsizetype(e.description().size())));
    }
    std::vector<std::pair<int, Setting>> found;
    QString error;
    int errorLine = 0;
    auto fail = [&](int line, const QString& why) {
        if (error.isEmpty() || line < errorLine) {
            error = QStringLiteral("%1:%2: %3").arg(path).arg(line).arg(why);
            errorLine = line;
        }
    };
    for (auto&& [key, node] : table) {
        const int line = int(key.source().begin.line);
        const QString name = QString::fromUtf8(key.data(), qsizetype(key.length()));
        const Spec* spec = findSpec(specs, name);
        if (!spec) {
            fail(line, QStringLiteral("unknown key '%1'").arg(name));
            continue;
        }
        if (spec->commandLineOnly) {
            fail(line, QStringLiteral("key '%1' is a command-line option only").arg(name));
            continue;
        }
        const QString source = QStringLiteral("%1:%2").arg(path).arg(line);
        const QString wrongType =
            QStringLiteral("key '%1' takes %2, got %3").arg(name, expected(spec->kind), typeName(node));
        switch (spec->kind) {
        case Kind::Flag:
            if (auto b = node.value_exact<bool>())
                found.push_back({line, {name, *b ? QStringLiteral("true") : QStringLiteral("false"), source}});
            else
                fail(line, wrongType);
            break;
        case Kind::Int:
            if (auto n = node.value_exact<int64_t>())
                found.push_back({line, {name, QString::number(*n), source}});
            else
                fail(line, wrongType);
            break;
        case Kind::Number:
            if (auto n = node.value_exact<int64_t>())
                found.push_back({line, {name, QString::number(*n), source}});
            else if (auto d = node.value_exact<double>())
                found.push_back({line, {name, QString::number(*d, 'g', 17), source}});
            else
                fail(line, wrongType);
            break;
        case Kind::Text:
            if (auto s = node.value_exact<std::string>())
                found.push_back({line, {name, QString::fromStdString(*s), source}});
            else
                fail(line, wrongType);
            break;
        case Kind::List:
            if (auto s = node.value_exact<std::string>()) {
                found.push_back({line, {name, QString::fromStdString(*s), source}});
            } else if (const toml::array* items = node.as_array()) {
                for (const toml::node& item : *items) {
                    const int at = int(item.source().begin.line);
                    if (auto v = item.value_exact<std::string>())
                        found.push_back(
                            {at, {name, QString::fromStdString(*v), QStringLiteral("%1:%2").arg(path).arg(at)}});
                    else
                        fail(
                            at,
                            QStringLiteral("key '%1' takes a list of strings, got %2 in it").arg(name, typeName(item)));
                }
            } else {
                fail(line, wrongType);
            }
            break;
        }
    }
    if (!error.isEmpty())
        return error;
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [line, setting] : found)
        out.push_back(std::move(setting));
    return {};
}

QString chooseFile(const std::vector<Setting>& commandLine, const QString& defaultPath, QString& error)
{
    std::optional<QString> chosen;
    for (const Setting& s : commandLine) {
        if (s.name == QLatin1String("config"))
            chosen = s.value;
        else if (s.name == QLatin1String("no-config"))
            chosen = QString();
    }
    if (chosen) {
        if (!chosen->isEmpty() && !QFileInfo::exists(*chosen))
            error = QStringLiteral("--config: no file '%1'").arg(*chosen);
        return *chosen;
    }
    const QString dir = executableDir();
    const bool installed = dir == QLatin1String("/usr/bin") || dir == QLatin1String(VELMORA_INSTALL_BINDIR);
    if (!defaultPath.isEmpty() && installed && QFileInfo(defaultPath).isFile())
        return defaultPath;
    return {};
}

QString prefixOf(const Setting& setting)
{
    if (setting.source == kCommandLine || setting.source == QLatin1String("environment"))
        return {};
    return QStringLiteral("%1: key '%2': ").arg(setting.source, setting.name);
}

QString describe(const QString& program, const QString& file, const std::vector<Value>& values,
                 const std::vector<Spec>& specs, const Sources& sources)
{
    QString out = QStringLiteral("# The effective configuration of %1: the command line over %2 over the defaults.\n")
                      .arg(program, file.isEmpty() ? QStringLiteral("no configuration file") : file);
    QStringList lines;
    QStringList comments;
    for (const Value& v : values) {
        const Spec* spec = findSpec(specs, v.key);
        const bool secret = spec && spec->secret;
        QString text;
        switch (v.kind) {
        case Kind::Flag:
        case Kind::Int:
        case Kind::Number: text = v.values.value(0); break;
        case Kind::Text:
            text = tomlString(secret && !v.values.isEmpty() ? QStringLiteral("********") : v.values.value(0));
            break;
        case Kind::List: {
            QStringList items;
            for (const QString& item : v.values)
                items << tomlString(item);
            text = '[' + items.join(QStringLiteral(", ")) + ']';
            break;
        }
        }
        const bool unset = v.values.isEmpty() && v.kind != Kind::List;
        lines << (unset ? QStringLiteral("# %1 = \"\"").arg(v.key) : QStringLiteral("%1 = %2").arg(v.key, text));
        const auto source = sources.find(v.key);
        comments << (source != sources.end() ? source->second
                     : unset                 ? QStringLiteral("unset")
                                             : QStringLiteral("default"));
    }
    qsizetype width = 0;
    for (const QString& line : lines)
        width = std::max(width, line.size());
    for (qsizetype i = 0; i < lines.size(); ++i)
        out += lines[i].leftJustified(width + 2) + "# " + comments[i] + '\n';
    return out;
}

}  // namespace progconfig
