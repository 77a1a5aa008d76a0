// The node-list exchange on arbitrary answers from the service: the answer
// waits in a socket pair, the node reads it as it reads veltalkd. Whatever
// arrives, the fetch ends, and every node taken has an address the probes
// can convert and its numbers.
#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vas.h"
#include "velmeshd.h"
#include "vlog.h"

namespace
{
constexpr size_t MAX_INPUT = 1 << 17;
void quiet(int, const char *) {}
time_t fixed_now()
{
    return 1796652000;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > MAX_INPUT)
        return 0;
    VLOG_SetSink(quiet);
    mesh_reset();
    mesh.ops.now = fixed_now;
    int sv[2];
    VAS_ASSERT(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
    int bufsize = 1 << 20;
    (void)setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &bufsize, sizeof bufsize);
    VAS_ASSERT(write(sv[0], data, size) == static_cast<ssize_t>(size));
    VAS_ASSERT(shutdown(sv[0], SHUT_WR) == 0);

    // "ODR_read() error" goes to standard error at every cut-off answer.
    int saved = dup(2);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    int r = mesh_getNodeInfo(sv[1]);
    dup2(saved, 2);
    close(saved);
    close(null);

    int n = 0;
    for (mesh_node *m = mesh.nodes; m != nullptr; m = m->next, n++) {
        VAS_ASSERT(m->magic == MESH_NODE_MAGIC);
        struct in_addr a;
        VAS_ASSERT(inet_aton(m->address, &a) != 0);
        VAS_ASSERT(m->count == 0);
    }
    VAS_ASSERT(r == -1 || r >= n); // a repeated address is taken twice, kept once
    char req[16];
    VAS_ASSERT(read(sv[0], req, sizeof req) == 7 && std::memcmp(req, "UN v2\r\n", 7) == 0);
    close(sv[0]);
    close(sv[1]);
    mesh_reset();
    return 0;
}
