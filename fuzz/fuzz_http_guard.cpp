// The fleet page's request-head check on arbitrary bytes. The first byte picks the accepted
// Host list and where a second chunk of bytes starts. Checked: a refusal has an error status
// and a printable reason; an accepted request has a path without its query; the verdict of a
// complete head does not change when more bytes follow it.

#include "web/GcsFleetHttpGuard.h"
#include "FuzzSupport.h"

#include <cstdlib>

using Head = GcsFleetHttpGuard::Head;

namespace {

void check(const Head& head)
{
    switch (head.kind) {
    case Head::Kind::Refused:
        if (head.status < 400 || head.status > 599 || head.reason.empty())
            std::abort();
        for (const char c : head.reason)
            if (c < 0x20 || c > 0x7e)
                std::abort();
        break;
    case Head::Kind::Http:
    case Head::Kind::WebSocket:
        if (!head.path.startsWith('/') || head.path.contains('?'))
            std::abort();
        break;
    case Head::Kind::Incomplete: break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzsupport::quietOnce();
    if (size == 0)
        return 0;
    static const QList<QByteArray> hostLists[] = {
        {"127.0.0.1:8080", "127.0.0.1", "localhost:8080", "localhost"}, {}, {""}};
    const QList<QByteArray>& hosts = hostLists[data[0] % 3];
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const Head whole = GcsFleetHttpGuard::inspect(bytes, hosts);
    check(whole);

    const qsizetype end = bytes.indexOf("\r\n\r\n");
    if (end >= 0 && end + 4 <= GcsFleetHttpGuard::kMaxHeadBytes) {
        const Head head = GcsFleetHttpGuard::inspect(bytes.left(end + 4), hosts);
        if (head.kind != whole.kind || head.status != whole.status || head.path != whole.path ||
            head.reason != whole.reason)
            std::abort();
    }
    return 0;
}
