#pragma once
// Library-wide registration of the types carried by queued signals.

namespace VelmoraCore {
// Safe to call more than once.
void registerMetaTypes();
}  // namespace VelmoraCore
