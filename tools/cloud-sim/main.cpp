// velmora-cloud-sim: serves the cloud API on 127.0.0.1 and prints its port as the first line.

#include "CloudSimService.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>

namespace {

// Fills `options` from the parsed command line; returns an error text, empty on success.
QString readOptions(const QCommandLineParser& parser, CloudSimService::Options& options, quint16& port)
{
    bool ok = false;
    const uint p = parser.value("port").toUInt(&ok);
    if (!ok || p > 65535)
        return "--port needs a number from 0 to 65535";
    port = quint16(p);
    options.zonesFile = parser.value("zones");
    if (parser.isSet("delay-ms")) {
        options.delayMs = parser.value("delay-ms").toInt(&ok);
        if (!ok || options.delayMs < 0)
            return "--delay-ms needs a number >= 0";
    }
    for (const QString& f : parser.values("fail")) {
        const int eq = f.lastIndexOf('=');
        const int code = eq > 0 ? f.mid(eq + 1).toInt(&ok) : 0;
        if (eq <= 0 || !ok || code < 100 || code > 599 || !f.startsWith('/'))
            return "--fail needs PATH=CODE with PATH starting with / and CODE from 100 to 599: " + f;
        options.failures.insert(f.left(eq), code);
    }
    for (const QString& a : parser.values("account")) {
        const int colon = a.indexOf(':');
        if (colon <= 0 || colon == a.size() - 1)
            return "--account needs EMAIL:PASSWORD: " + a;
        options.accounts.push_back({a.left(colon).toStdString(), a.mid(colon + 1).toStdString(), {}, {}, {}});
    }
    for (const QString& v : parser.values("account-vehicle")) {
        const QStringList parts = v.split(':');
        int localId = 0;
        if (parts.size() == 4)
            localId = parts[3].toInt(&ok);
        if (parts.size() < 3 || parts.size() > 4 || parts[1].isEmpty() || (parts.size() == 4 && !ok))
            return "--account-vehicle needs EMAIL:CODE:NAME[:LOCALID]: " + v;
        auto account = std::find_if(options.accounts.begin(), options.accounts.end(),
                                    [&](const auto& acc) { return acc.email == parts[0].toStdString(); });
        if (account == options.accounts.end())
            return "--account-vehicle names an e-mail without --account: " + v;
        account->vehicles.push_back({parts[1].toStdString(), parts[2].toStdString(), localId});
    }
    return {};
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("velmora-cloud-sim");
    spdlog::set_default_logger(spdlog::stderr_color_mt("cloud-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription("Local cloud service for the ground station's HTTP client.");
    parser.addHelpOption();
    parser.addOptions({
        {"port", "TCP port on 127.0.0.1; 0 picks a free one.", "PORT", "0"},
        {"zones", "Zone document served by GET /nfz/zones, read again for every request.", "FILE"},
        {"fail", "Answer every request to PATH with the HTTP status CODE (repeatable).", "PATH=CODE"},
        {"delay-ms", "Hold every answer back this long.", "N"},
        {"account", "Seed an account (repeatable).", "EMAIL:PASSWORD"},
        {"account-vehicle", "Seed a vehicle of an account (repeatable).", "EMAIL:CODE:NAME[:LOCALID]"},
        {"verbose", "Log every request."},
    });
    parser.process(app);
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "velmora-cloud-sim: unexpected argument %s\n",
                     qPrintable(parser.positionalArguments().first()));
        return 2;
    }
    if (parser.isSet("verbose"))
        spdlog::set_level(spdlog::level::debug);

    CloudSimService::Options options;
    quint16 port = 0;
    const QString error = readOptions(parser, options, port);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "velmora-cloud-sim: %s\n", qPrintable(error));
        return 2;
    }

    CloudSimService service(std::move(options));
    const quint16 bound = service.listen(port);
    if (bound == 0) {
        std::fprintf(stderr, "velmora-cloud-sim: cannot listen on 127.0.0.1:%u\n", unsigned(port));
        return 1;
    }
    // Tests and scripts read this line through a pipe.
    std::printf("%u\n", unsigned(bound));
    std::fflush(stdout);
    spdlog::info("<cloud-sim> listening on http://127.0.0.1:{}", bound);
    return app.exec();
}
