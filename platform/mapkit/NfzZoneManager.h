#pragma once
// The set of no-fly zones, loaded whole from a zone document.
//
// Zone document (UTF-8 JSON): a top-level array of zone objects, one of
//   {"id": <integer>, "type": "polygon", "points": [[lat, lon], ...]}
//   {"id": <integer>, "type": "circle", "center": [lat, lon], "radius": <metres>}
// Latitudes lie in [-90, 90], longitudes in [-180, 180], all numbers finite; ids are unique
// 64-bit integers; a polygon has at least one point and a radius is >= 0. Other members of a
// zone object are ignored. An empty array is a valid document holding no zone.
//
// Choices:
// - A document with any malformed zone is rejected whole: the reload returns false, the
//   previous set stays, and lastError() names the zone by index (and id once known) and the
//   member at fault, e.g. `zone[2] (id 7): "radius" must be a finite number >= 0`.
// - Degenerate but well-formed geometry (a polygon of one or two points, a zero radius) is
//   kept; its bounding box is then not valid (nfzgeo::nfzRecordBboxValid) and users that need
//   an area refuse the zone themselves.
// - Each record's bounding box is computed at load time (nfzgeo::bboxFromCircle for circles).
// - reloadFromFile(path) falls back to "<path>.bak" (the copy the cache writer keeps of the
//   previous cache) when the file is missing or broken and the backup loads: one warning names
//   both, and the reload succeeds. Without a usable backup the file's own error stands.
// - origin() says where the zones held came from: the file asked for (Cache), its backup (with
//   a warning saying why the file was not used), a document handed over in memory, or nothing
//   yet; with the file's path and modification time. A failed reload keeps the previous origin
//   along with the previous zones.
// - Not thread-safe: use one manager from one thread.

#include "NfzRecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstddef>
#include <optional>
#include <unordered_map>
#include <vector>

class NfzZoneManager {
public:
    enum class Source { None, Cache, Backup, Document };
    struct Origin {
        Source source = Source::None;
        QString file;  // the file read; empty for None and Document
        QDateTime fileTime;  // its modification time, UTC; invalid without a file
        QString warning;  // Backup: why the file asked for was not used
    };
    // "none", "cache", "backup", "document".
    static const char* sourceName(Source source);

    bool reloadFromFile(const QString& path);
    bool reloadFromJsonUtf8(const QByteArray& json);

    // Checks a zone document without loading it or logging: its zone count, or nothing with the
    // reason in `error`.
    static std::optional<size_t> checkDocument(const QByteArray& json, QString* error = nullptr);
    // The zones of a document without loading it or logging, or nothing with the reason in `error`.
    static std::optional<std::vector<NfzRecord>> readDocument(const QByteArray& json, QString* error = nullptr);

    const Origin& origin() const { return m_origin; }

    // Why the last reload failed; empty after a successful one.
    QString lastError() const { return m_lastError; }

    size_t zoneCount() const { return m_zones.size(); }
    std::optional<NfzRecord> findById(int64_t id) const;
    // Ids in document order.
    std::vector<int64_t> zoneIds() const;
    const std::vector<NfzRecord>& zones() const { return m_zones; }

private:
    struct Parsed {
        std::vector<NfzRecord> zones;
        std::unordered_map<int64_t, size_t> index;
    };
    static bool parse(const QByteArray& json, Parsed& out, QString& error);
    void take(Parsed&& parsed, Origin origin);
    bool fail(const QString& error);

    std::vector<NfzRecord> m_zones;
    std::unordered_map<int64_t, size_t> m_indexById;
    QString m_lastError;
    Origin m_origin;
};
