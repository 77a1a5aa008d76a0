// veld's datagram receive paths on arbitrary input: a sequence of UDP
// datagrams and raw ICMP packets (IPv4 header included, as the raw socket
// delivers them) from a few clients, through the session table, switching,
// echo answers and accounting. Each message: kind, sender, 16-bit length,
// bytes. Messages with bit 2 of the kind go through the loop's batched
// receive and send paths instead, with now and then a send that fails.
#include <cerrno>
#include <sys/socket.h>
#include <vector>

#include "veld_fuzz.h"

namespace
{
struct queued {
    const uint8_t *p;
    size_t len;
    struct sockaddr_in from;
};
std::vector<queued> inbox;
unsigned send_calls;

int inbox_recvmmsg(int, struct mmsghdr *m, unsigned n, int)
{
    if (inbox.empty()) {
        errno = EAGAIN;
        return -1;
    }
    unsigned k = 0;
    for (; k < n && k < inbox.size(); k++) {
        size_t len = inbox[k].len < m[k].msg_hdr.msg_iov[0].iov_len
                         ? inbox[k].len
                         : m[k].msg_hdr.msg_iov[0].iov_len;
        std::memcpy(m[k].msg_hdr.msg_iov[0].iov_base, inbox[k].p, len);
        std::memcpy(m[k].msg_hdr.msg_name, &inbox[k].from, sizeof inbox[k].from);
        m[k].msg_hdr.msg_namelen = sizeof inbox[k].from;
        m[k].msg_len = static_cast<unsigned>(len);
    }
    inbox.erase(inbox.begin(), inbox.begin() + k);
    return static_cast<int>(k);
}

// Every seventh call fails at its first datagram; others take all but the
// last of three or more, as a send that meets an error half-way does.
int flaky_sendmmsg(int, struct mmsghdr *m, unsigned n, int)
{
    send_calls++;
    if (send_calls % 7 == 0) {
        errno = ENOBUFS;
        return -1;
    }
    unsigned k = n >= 3 ? n - 1 : n;
    for (unsigned i = 0; i < k; i++)
        m[i].msg_len = static_cast<unsigned>(m[i].msg_hdr.msg_iov[0].iov_len);
    return static_cast<int>(k);
}

void drain(bool icmp)
{
    while (!inbox.empty())
        VAS_ASSERT((icmp ? icmp_rx_batch() : udp_rx_batch()) > 0);
    dgram_flush();
    VAS_ASSERT(dgram_queued() == 0);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace veld_fuzz;
    begin();
    dgram_recvmmsg = inbox_recvmmsg;
    dgram_sendmmsg = flaky_sendmmsg;
    static uint8_t buf[DGRAM_BUF_SIZE];
    bool batch_icmp = false;
    size_t off = 0;
    while (size - off >= 4) {
        uint8_t kind = data[off], sel = data[off + 1];
        size_t len = data[off + 2] | static_cast<size_t>(data[off + 3]) << 8;
        off += 4;
        if (len > size - off)
            len = size - off;
        // Datagrams are received into a 4096-byte buffer; longer ones are cut.
        size_t n = len < sizeof buf ? len : sizeof buf;
        std::memcpy(buf, data + off, n);
        off += len;
        struct sockaddr_in sin = peer(sel);
        const auto *sa = reinterpret_cast<const struct sockaddr *>(&sin);
        if (!inbox.empty() && ((kind & 4) == 0 || (kind & 1) != batch_icmp || inbox.size() == 80))
            drain(batch_icmp);
        if (kind & 4) {
            // Into the next batch; handled when the kind changes.
            dgram_batching(true);
            batch_icmp = (kind & 1) != 0;
            inbox.push_back({data + off - len, len, sin});
            continue;
        }
        dgram_batching(false);
        now_real += kind >> 4;
        now_mono += kind >> 4;
        if (kind & 1)
            icmp_rx(buf, n, sa, sizeof sin);
        else
            udp_rx(buf, n, sa, sizeof sin);
        if (kind & 2)
            sess_cleanup();
    }
    drain(batch_icmp);
    dgram_batching(false);
    end();
    return 0;
}
