// The page server's guard as a connection feeds it: the bytes of one peer arrive in chunks
// (the first byte picks the chunk size, the rest is the stream), each readyRead scans only the
// new bytes for the head's end, and a refused head is quoted into a log line. Checked: the
// incremental scan finds the same end as a search of the whole buffer, the head's verdict does
// not depend on how the bytes were split or on what follows the head (a WebSocket frame sent
// early, a pipelined request), and a quoted line is printable and bounded.
// WebSocket frames after the upgrade are read by Qt's QWebSocket; the server takes nothing from
// a viewer (no message handler), so the head is all of a peer's bytes this code reads.

#include "web/GcsFleetHttpGuard.h"
#include "FuzzSupport.h"

#include <cstdlib>

using Head = GcsFleetHttpGuard::Head;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzsupport::quietOnce();
    if (size == 0)
        return 0;
    static const QList<QByteArray> hosts = {"127.0.0.1:8080", "localhost:8080"};
    const qsizetype chunk = 1 + (data[0] & 0x7f);
    const QByteArray stream(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    QByteArray buffered;
    qsizetype scanned = 0;
    qsizetype end = -1;
    for (qsizetype at = 0; at < stream.size() && end < 0; at += chunk) {
        buffered += stream.mid(at, chunk);
        end = GcsFleetHttpGuard::headEnd(buffered, scanned);
        const qsizetype whole = buffered.indexOf("\r\n\r\n");
        if (end != whole)
            std::abort();
        scanned = buffered.size();
        if (buffered.size() > GcsFleetHttpGuard::kMaxHeadBytes)
            break;
    }
    const std::string line = GcsFleetHttpGuard::quoted(buffered);
    if (line.size() > GcsFleetHttpGuard::kMaxQuotedChars)
        std::abort();
    for (const char c : line)
        if (c < 0x20 || c > 0x7e)
            std::abort();
    if (end < 0 || end + 4 > GcsFleetHttpGuard::kMaxHeadBytes)
        return 0;
    const Head head = GcsFleetHttpGuard::inspect(buffered.left(end + 4), hosts);
    const Head again = GcsFleetHttpGuard::inspect(stream.left(end + 4), hosts);
    if (head.kind != again.kind || head.status != again.status || head.path != again.path)
        std::abort();
    if (head.kind == Head::Kind::Incomplete)
        std::abort();  // a head with its end is complete
    return 0;
}
