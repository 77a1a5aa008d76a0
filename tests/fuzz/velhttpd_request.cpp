// A request as it arrives on a connection (read through a socket pair whose
// writer has closed): header read byte by byte, split in place, header
// lookups, body by length or chunks. No read or write outside the buffer,
// and a request that was read has its parts in place.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <sys/socket.h>
#include <unistd.h>

#include "vas.h"
#include "velhttpd_http.h"
#include "vlog.h"

namespace
{
void quiet(int, const char *) {}
// Small enough to reach the full-buffer paths, and to fit the socket pair.
constexpr size_t FUZZ_RXBUF = 8192;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 2 * FUZZ_RXBUF)
        return 0;
    VLOG_SetSink(quiet);
    int sv[2];
    VAS_ASSERT(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
    VAS_ASSERT(write(sv[1], data, size) == static_cast<ssize_t>(size));
    shutdown(sv[1], SHUT_WR);

    http_peer conn;
    VAS_ASSERT(http_peer_init(&conn, sv[0], -1, FUZZ_RXBUF) == 0);
    conn.timeout = 0.01;
    if (http_read_request(&conn) == 1) {
        VAS_ASSERT(conn.hd[0] != nullptr && conn.hd[1] != nullptr && conn.url != nullptr);
        VAS_ASSERT(conn.body + conn.bodylen <= conn.prxbuf && conn.prxbuf < conn.nrxbuf);
        for (const char *name : {"content-filter", "Content-Length", "host"}) {
            const char *v = http_header_value(&conn, name);
            if (v != nullptr)
                VAS_ASSERT(v >= conn.rxbuf && v <= conn.rxbuf + conn.prxbuf);
        }
    }
    http_peer_fini(&conn);
    close(sv[0]);
    close(sv[1]);
    return 0;
}
