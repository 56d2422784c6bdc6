// The files an operator hands the station to import, on arbitrary bytes. The first byte picks
// the reader: a route file of the route store (route.import of a folder), a GeoJSON route
// (route.import with "format": "geojson"), a custom parameter names file (".gfn") or a zone
// document (nfz.import). Each either takes the file or refuses it with a reason; nothing may
// throw past the reader the station calls (the route store catches the JSON library's own
// exceptions and skips the file, so the target does the same), and what was taken must save
// and load back.

#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavRouteGeoJson.h"
#include "params/MavCustomNameFieldsConfig.h"
#include "params/MavCustomNameFieldsConfigManager.h"

#include "NfzZoneManager.h"
#include "FuzzSupport.h"

#include <cstdlib>

namespace {

void routeFile(const QByteArray& bytes)
{
    const auto json = nlohmann::json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
    if (json.is_discarded())
        return;
    std::shared_ptr<MavFlightRouteDataItem> route;
    try {
        route = MavFlightRouteDataItem::fromJson(json);
    } catch (const nlohmann::json::exception&) {
        return;  // members of the wrong kind: the store skips the file
    }
    if (!route)
        return;
    // A route the store took saves and loads back to the same document.
    const auto saved = route->toJson();
    const auto again = MavFlightRouteDataItem::fromJson(*saved);
    if (!again || *again->toJson() != *saved)
        std::abort();
}

void geoJsonRoute(const QByteArray& bytes)
{
    const auto json = nlohmann::json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
    if (json.is_discarded())
        return;
    QString error;
    const auto route = MavRouteGeoJson::fromGeoJson(json, QStringLiteral("imported"), 3, error);
    if (!route) {
        if (error.isEmpty())
            std::abort();
        return;
    }
    if (route->wayPointCount() == 0)
        std::abort();
    (void)MavRouteGeoJson::toGeoJson(*route).dump();
}

void customNames(const QByteArray& bytes)
{
    static MavCustomNameFieldsConfigManager manager;
    MavCustomNameFieldsConfig config(manager.resParamsFields());
    if (!config.loadFromData(bytes))
        return;
    QByteArray saved;
    if (!config.saveToData(saved))
        std::abort();
    MavCustomNameFieldsConfig again(manager.resParamsFields());
    if (!again.loadFromData(saved))
        std::abort();
}

void zones(const QByteArray& bytes)
{
    QString error;
    const auto count = NfzZoneManager::checkDocument(bytes, &error);
    if (!count && error.isEmpty())
        std::abort();
    NfzZoneManager manager;
    if (manager.reloadFromJsonUtf8(bytes) != count.has_value())
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzsupport::applicationOnce();
    if (size == 0)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    switch (data[0] % 4) {
    case 0: routeFile(bytes); break;
    case 1: geoJsonRoute(bytes); break;
    case 2: customNames(bytes); break;
    case 3: zones(bytes); break;
    }
    return 0;
}
