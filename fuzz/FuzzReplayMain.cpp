// Replays files through a fuzz target's entry point without a fuzzer (gcc builds, ctest):
// every file directly under each argument (a folder, or a file) in name order. A missing folder
// is an empty one (a target without kept crashes). A crash is the target's own abort (or a
// fault); the input being replayed is named on stderr before the process dies of it.

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

char current[4096];

void nameTheInput(int sig)
{
    const char head[] = "\ncrashed on ";
    (void)!::write(2, head, sizeof head - 1);
    (void)!::write(2, current, std::strlen(current));
    (void)!::write(2, "\n", 1);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

int main(int argc, char** argv)
{
    for (const int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        std::signal(sig, nameTheInput);
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        QStringList files;
        if (QFileInfo(arg).isDir()) {
            const QDir dir(arg);
            for (const QString& name : dir.entryList(QDir::Files, QDir::Name))
                files << dir.filePath(name);
        } else if (QFileInfo::exists(arg)) {
            files << arg;
        }
        for (const QString& path : files) {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
                return 2;
            }
            const QByteArray bytes = file.readAll();
            std::snprintf(current, sizeof current, "%s", qPrintable(path));
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
            ++replayed;
        }
    }
    std::printf("%d inputs replayed\n", replayed);
    return 0;
}
