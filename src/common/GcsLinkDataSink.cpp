#include "GcsLinkDataSink.h"

#include <atomic>

namespace {
std::atomic<GcsLinkDataSink::Factory> g_factory{nullptr};
}

void GcsLinkDataSink::setFactory(Factory factory)
{
    g_factory.store(factory);
}

GcsLinkDataSink* GcsLinkDataSink::create(QObject* parent)
{
    const Factory factory = g_factory.load();
    return factory ? factory(parent) : nullptr;
}
