#pragma once
// What fuzz targets set up once: no log output (a run feeds millions of inputs) and, for those
// whose code wants one, a Qt core application.

#include <QCoreApplication>

#include <spdlog/spdlog.h>

namespace fuzzsupport {

inline void quietOnce()
{
    static const bool done = [] {
        spdlog::set_level(spdlog::level::off);
        return true;
    }();
    (void)done;
}

inline void applicationOnce()
{
    static QCoreApplication* app = [] {
        static int argc = 1;
        static char name[] = "fuzz";
        static char* argv[] = {name, nullptr};
        return new QCoreApplication(argc, argv);
    }();
    (void)app;
    quietOnce();
}

}  // namespace fuzzsupport
