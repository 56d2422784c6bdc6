#pragma once
// The station's read-only fleet page: a small HTTP server for the page's files and JSON
// documents (fleet/FleetReadModel.h) and a WebSocket (/ws) that pushes a snapshot on connect, then a
// tick at the configured rate with what changed in each vehicle. Nothing it serves changes state.
// Main thread only. It reads a FleetPageSource: the station's own vehicles, or what a viewer
// hears from the stations on a broker (then the page also gets a "stations" document, also at
// GET /api/v1/stations).
//
//   GET /                     the page (index.html)
//   GET /static/NAME          fleet.js, fleet.css, leaflet.js, leaflet.css, dygraph.min.js,
//                             dygraph.min.css, and images/*.png that leaflet.css names
//   GET /api/v1/fleet, /api/v1/alerts, /api/v1/routes/active, /api/v1/zones, /api/v1/link
//   GET /api/v1/stations      a viewer's only (404 on a station)
//   GET /ws                   WebSocket
//   GET /metrics              the program's metrics (Options::metrics), Prometheus text format
//   GET /healthz, /readyz     liveness and readiness (Options::health, Options::readiness): JSON,
//                             200 when live or ready, 503 when not
// Every other path is 404, matched exactly (no decoding, so no "..").
// The three operations paths exist only when their function is set, and answer only connections
// made to a loopback address or to Options::opsAddress (any address when it is a wildcard):
// elsewhere they are 404 like an unknown path, so a page open to a network shows no metrics
// unless asked to.
//
// Guarantees and choices:
// - Requests pass GcsFleetHttpGuard first (its header lists the refusals: 16 KiB heads, GET
//   only, no body, Host and WebSocket Origin checked); QtHttpServer 6.4 offers no hook for
//   those. Each HTTP answer carries "Connection: close" and the connection is closed after it.
// - Each HTTP answer carries Content-Security-Policy (GcsFleetHttpGuard::kSecurityPolicy, plus
//   "img-src 'self' data:" for the page's empty favicon and the tile host when mapTiles is set; a
//   "{s}." subdomain becomes "*."; style attributes only the one, by hash, that dygraphs sets to
//   measure an em, so the charts' legend is built from elements),
//   "X-Content-Type-Options: nosniff" and "Referrer-Policy: no-referrer". The page writes every
//   text from the station as DOM text (textContent, or an element so built handed to Leaflet),
//   never as HTML: the policy is the second wall, not the first.
// - At most kMaxClients WebSocket clients, Options::perPeer of them from one peer address and
//   twice that from one address range (GcsFleetHttpGuard::rangeOf): the next upgrade is answered
//   503 (and one that slips in during handshakes is closed with 1013 "try again later"). HTTP
//   connections have their budget in the guard. A client that has taken none of its output for
//   Options::stalledReaderMs (30 s) is closed: a reader that stopped must not hold a slot.
// - Static files are kept in memory, gzipped once at start (sent so when Accept-Encoding allows),
//   with an ETag and "Cache-Control: no-cache": a reload costs a 304. Leaflet is its minified
//   build. Documents are "no-store".
// - A client whose unsent data passes Options::maxPendingOutputBytes (default
//   kMaxPendingOutputBytes) while the kernel's queue to it is full (it reads slower than ticks
//   come; a backlog with room in that queue is a busy station's own) gets no more ticks until it
//   has taken what it has, then a snapshot of the fleet as it is then, and ticks again: a slow
//   machine or link follows the fleet at its own pace instead of being cut off and reconnecting
//   to a snapshot anyway, and the station holds at most the limit and one tick for it. One that
//   takes nothing is closed after Options::stalledReaderMs (above). A client over the limit after
//   a read from it (every ping it sends queues a pong) while it is not held back is dropped. Its
//   snapshot does not count (megabytes with a large fleet), nor, while the snapshot is being
//   sent, ticks queued behind it up to the snapshot's size. The socket's own send buffer is kept
//   at 256 KiB: room for one tick of ten thousand vehicles per turn of the event loop, no more,
//   so unsent data shows in the limit. A client that sends more
//   than kMostIncomingFramesPerSecond frames in a second (pings included: the page sends none)
//   is closed before the WebSocket reads them, so pings are answered at most that often. The
//   frames are counted in the socket's buffer ahead of the WebSocket, at the stream offset the
//   kernel's counters give (Linux TCP_INFO).
// - A document over 256 KiB (a long route, many zones) is not put in a snapshot or tick: it goes
//   to each client once, as {"type": "part", "key", "version", "index", "count", "data"} messages
//   of at most 64 KiB of its text, the next one only when the client has read the last (its
//   unsent output is under 64 KiB again). A newer version replaces unsent parts of the older.
// - Ticks run only while a client is connected. Each tick builds every vehicle's V once and
//   compares it key by key with what the clients have: an entry of "vehicles" is
//   {"key", "vehicleId", the fields whose value changed}, a vehicle new since the last tick goes
//   whole, and "removed" lists the keys of vehicles gone since. Vehicles are keyed by
//   FleetReadModel::vehicleKey, not by id: every remote vehicle has id -1. Numbers are rounded as their display shows
//   them, so jitter below that is no change. linkStats goes whole when any of its counters changed, but at most once a
//   second (they move at every telemetry request). The alerts, link, route and zones documents go along, whole, only
//   when their text changed; the route and zones documents are rebuilt when the active route or zone set is replaced,
//   and at least once a second (an edit inside a route shows within a second). The snapshot and /api/v1/ documents are
//   always whole.
// - Clients get one shared stream: the snapshot of a client that joins while others are connected
//   carries what they were sent (at most a tick old; a vehicle new since then comes whole in the
//   next tick), so each tick's changes apply to every client alike. Clients joining between two
//   ticks share one snapshot text. A source that stamps its vehicles (FleetPageSource::
//   vehiclesSince) has the tick skip those unchanged since they were sent, unbuilt.
// - Incoming WebSocket messages are ignored (limited to 4 KiB).
// - Another bind address than loopback logs a warning: the page has no authentication.
//   With a wildcard bind (0.0.0.0, ::), Host may also be any address of this machine.

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>

class FleetPageSource;

class GcsFleetWebServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kMinRateHz = 1;
    static constexpr int kMaxRateHz = 50;
    static constexpr int kDefaultRateHz = 5;
    static constexpr int kMaxClients = 32;
    static constexpr qint64 kMaxPendingOutputBytes = 1024 * 1024;
    static constexpr int kMostIncomingFramesPerSecond = 5;

    struct Options {
        QHostAddress address = QHostAddress(QHostAddress::LocalHost);
        quint16 port = 0;  // 0: any free port
        int rateHz = kDefaultRateHz;
        QString mapTiles;  // tile URL template handed to the page; empty: no tiles
        // Connections and WebSocket clients one peer address may hold (a control room behind
        // one NAT address may need more).
        int perPeer = 8;
        int answerDeadlineMs = 10000;  // an HTTP answer not taken by then closes its connection
        qint64 maxPendingOutputBytes = kMaxPendingOutputBytes;  // more unsent tick data: ticks held back
        int stalledReaderMs = 30000;  // a WebSocket client that took nothing for this long is closed
        // Operations endpoints (see above); unset: 404.
        std::function<std::string()> metrics;
        std::function<std::pair<bool, nlohmann::json>()> health;
        std::function<std::pair<bool, nlohmann::json>()> readiness;
        QHostAddress opsAddress;  // null: loopback only
    };

    // `source` is the station's own fleet (StationFleetSource) or the broker's (BrokerFleetModel).
    GcsFleetWebServer(std::shared_ptr<FleetPageSource> source, Options options, QObject* parent = nullptr);
    ~GcsFleetWebServer() override;

    // Listens; false (and why in *error, logged) when the options are bad or the port is taken.
    bool start(QString* error = nullptr);
    // Closes every client and stops listening; the controller is not touched afterwards.
    void stop();

    bool isListening() const;
    QHostAddress address() const;
    quint16 port() const;
    // http://ADDR:PORT/ (IPv6 addresses in brackets).
    QString pageUrl() const;
    int clientCount() const;
    // Changes the update rate and the per-peer share while serving (a reload); false with the
    // reason in *error when out of range.
    bool setClientLimits(int rateHz, int perPeer, QString* error = nullptr);

signals:
    void clientCountChanged(int count);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
