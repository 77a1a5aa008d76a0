// veld's TCP frame reader on an arbitrary byte stream from one client, cut
// into pieces: every unit it accepts goes through the session table, the
// switching and the accounting; frames switched back to the client queue on
// the connection and are written out.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "veld_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace veld_fuzz;
    if (size < 1)
        return 0;
    begin();
    int sv[2];
    VAS_ASSERT(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
    VAS_ASSERT(fcntl(sv[0], F_SETFL, O_NONBLOCK) == 0);
    VAS_ASSERT(fcntl(sv[1], F_SETFL, O_NONBLOCK) == 0);
    struct sockaddr_in sin = peer(data[0]);
    tcpconn *tc = tcp_new(sv[0], reinterpret_cast<struct sockaddr *>(&sin), sizeof sin);
    // A second connection from the same client, so that switching between
    // two connections is exercised too.
    tcpconn *other = tcp_new(-1, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin);
    const uint8_t hello[] = {2, 0, 0, 0, 0, 9, 2, 0, 0, 0, 0, 7, 8, 6, 0, 0};
    sess_rx(reinterpret_cast<struct sockaddr *>(&sin), sizeof sin, hello, sizeof hello, SESS_TCP,
            other, nullptr);

    // The stream arrives in pieces of varying size, so that reads end
    // anywhere in a unit; each read takes what has arrived. It ends in EOF.
    size_t off = 1;
    bool shut = false;
    for (size_t turn = 0; turn < 2 * size + 4; turn++) {
        if (off < size) {
            size_t piece = 1 + (data[0] * 31u + turn * 17u) % 700u;
            if (piece > size - off)
                piece = size - off;
            ssize_t n = write(sv[1], data + off, piece);
            if (n > 0)
                off += static_cast<size_t>(n);
        } else if (!shut) {
            shutdown(sv[1], SHUT_WR);
            shut = true;
        }
        now_real += 0.25;
        now_mono += 0.25;
        if (tcp_read(tc) != 0) {
            tc->flags |= TC_DEAD;
            break;
        }
        if ((tc->want & TC_WANT_WRITE) && tcp_write(tc) != 0)
            break;
        VAS_ASSERT(tc->rbuflen >= 0 && tc->rbuflen < static_cast<int64_t>(TC_RBUF_SIZE));
        VAS_ASSERT(tc->wq_bytes >= 0 && tc->wq_bytes <= TC_WQ_MAX);
    }
    VAS_ASSERT(tc->refcnt >= 0 && other->refcnt >= 0);
    tcp_cleanup_abnormal();
    close(sv[1]);
    end();
    return 0;
}
