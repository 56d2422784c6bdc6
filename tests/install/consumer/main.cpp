#include <velmora/app/GcsAppController.h>
#include <velmora/app/GcsApplication.h>

#include <cstdio>

int main(int argc, char** argv)
{
    GcsApplication app(argc, argv);
    app.init();
    app.setAppCtrler(new GcsAppController(&app));
    std::printf("VelmoraCore %s, protocol %s\n", qPrintable(QCoreApplication::applicationVersion()),
                qPrintable(app.commProtocolVersion()));
    app.release();
    return app.appCtrler() ? 0 : 1;
}
