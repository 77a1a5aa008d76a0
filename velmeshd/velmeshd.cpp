#include "velmeshd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "report_client.h"
#include "vas.h"
#include "vel_config.h"
#include "velmeshd_rtt.h"
#include "vlog.h"
#include "vsb.h"
#include "vtcp.h"
#include "vtim.h"

namespace
{

time_t wall_now()
{
    return time(nullptr);
}

int post_report(const char *body, ssize_t len)
{
    static const rc_caller caller = {rc_voice::LOG_TAGGED, nullptr};
    return RC_Send(&caller, RC_Endpoint(mesh.alt_endpoint), MESH_REPORT_PATH, body, len);
}

constexpr const char *FIELD_SEPARATORS = " \t\r\n";

} // namespace

const mesh_ops mesh_default_ops = {
    mesh_connect_talk, rtt_icmp, rtt_udp, rtt_tcp, post_report, sleep, wall_now,
};

mesh_state mesh = {MESH_STATE_MAGIC, nullptr, false, nullptr, {}, {}, mesh_default_ops};

void mesh_reset()
{
    CHECK_OBJ(&mesh, MESH_STATE_MAGIC);
    mesh_node *n = mesh.nodes;
    while (n != nullptr) {
        CHECK_OBJ(n, MESH_NODE_MAGIC);
        mesh_node *next = n->next;
        std::free(n->address);
        n->magic = 0;
        std::free(n);
        n = next;
    }
    mesh.nodes = nullptr;
    mesh.alt_endpoint = false;
    mesh.wheel = nullptr;
    mesh.ops = mesh_default_ops;
}

ssize_t ODR_readline(int fd, char *buf, size_t len)
{
    AN(buf);
    VAS_ASSERT(len >= 2);
    size_t i = 0;
    while (i < len - 1) {
        ssize_t n = read(fd, buf + i, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::fprintf(stderr, "ODR_read() error\n");
            buf[i] = '\0';
            return -1;
        }
        if (buf[i++] == '\n')
            break;
    }
    buf[i] = '\0';
    if (buf[i - 1] != '\n')
        return -2;
    return static_cast<ssize_t>(i);
}

mesh_line_kind mesh_parse_line(char *line, mesh_line *out)
{
    AN(line);
    AN(out);
    *out = {nullptr, 0, 0, 0, nullptr};
    if (line[0] != 'U')
        return mesh_line_kind::other;
    if (line[1] == 'O')
        return mesh_line_kind::end;
    if (line[1] != 'N') {
        out->byte = static_cast<unsigned char>(line[1]);
        return mesh_line_kind::wrong;
    }
    // A broken line from the service must not take the daemon down: it is
    // left out and the rest of the list still counts.
    if (line[2] != ' ') {
        out->why = "[WARN] Malformed node line skipped.";
        return mesh_line_kind::skip;
    }
    char *field[MESH_FIELDS_MAX];
    int nf = 0;
    char *save = nullptr;
    for (char *p = strtok_r(line, FIELD_SEPARATORS, &save); p != nullptr && nf < MESH_FIELDS_MAX;
         p = strtok_r(nullptr, FIELD_SEPARATORS, &save))
        field[nf++] = p;
    if (nf < 6) {
        out->why = "[WARN] Short node line skipped.";
        return mesh_line_kind::skip;
    }
    struct in_addr a;
    if (inet_aton(field[3], &a) == 0) {
        out->why = "[WARN] Node line with a bad address skipped.";
        return mesh_line_kind::skip;
    }
    out->address = field[3];
    out->short_no = static_cast<uint16_t>(std::atoi(field[4]));
    out->node_no = std::atoi(field[5]);
    return mesh_line_kind::node;
}

mesh_node *mesh_find(const char *address)
{
    for (mesh_node *n = mesh.nodes; n != nullptr; n = n->next) {
        CHECK_OBJ(n, MESH_NODE_MAGIC);
        if (std::strcmp(n->address, address) == 0)
            return n;
    }
    return nullptr;
}

mesh_node *node_insert(const char *address, uint16_t short_no, int32_t node_no)
{
    AN(address);
    CHECK_OBJ(&mesh, MESH_STATE_MAGIC);
    mesh_node *n = mesh_find(address);
    if (n != nullptr) {
        // Numbers stay as first seen; only the sighting is new.
        n->last_seen = mesh.ops.now();
        return n;
    }
    n = static_cast<mesh_node *>(std::calloc(1, sizeof *n));
    AN(n);
    n->magic = MESH_NODE_MAGIC;
    n->address = strdup(address);
    AN(n->address);
    n->short_no = short_no;
    n->node_no = node_no;
    n->last_seen = mesh.ops.now();
    n->next = mesh.nodes;
    mesh.nodes = n;
    return n;
}

int mesh_getNodeInfo(int fd)
{
    size_t reqlen = std::strlen(MESH_LIST_REQUEST);
    // MSG_NOSIGNAL: a service that went away must not end the daemon.
    if (send(fd, MESH_LIST_REQUEST, reqlen, MSG_NOSIGNAL) != static_cast<ssize_t>(reqlen)) {
        VLOG("[WARN] Node list request failed: %d %s", errno, std::strerror(errno));
        return -1;
    }
    char buf[ODR_LINE_MAX];
    int taken = 0;
    for (;;) {
        ssize_t n = ODR_readline(fd, buf, sizeof buf);
        if (n == -1)
            return -1;
        if (n == -2) {
            VLOG("[WARN] Node list line longer than %zu bytes, list ends.", sizeof buf - 1);
            return -1;
        }
        mesh_line ml;
        switch (mesh_parse_line(buf, &ml)) {
        case mesh_line_kind::node:
            (void)node_insert(ml.address, ml.short_no, ml.node_no);
            taken++;
            break;
        case mesh_line_kind::end:
            return taken;
        case mesh_line_kind::wrong:
            VLOG("[WARN] Wrong data format: %#x", ml.byte);
            return -1;
        case mesh_line_kind::other:
            return -1;
        case mesh_line_kind::skip:
            VLOG_At(VLOG_Priority(ml.why), "%s", ml.why);
            break;
        }
    }
}

void mesh_probeNodes()
{
    for (mesh_node *n = mesh.nodes; n != nullptr; n = n->next) {
        CHECK_OBJ(n, MESH_NODE_MAGIC);
        int k = n->count;
        VAS_ASSERT(k >= 0 && k < MESH_RING);
        n->sample_time[k] = mesh.ops.now();
        n->icmp[k] = mesh.ops.icmp(n->address);
        n->udp[k] = mesh.ops.udp(n->address, MESH_ECHO_PORT);
        n->tcp[k] = mesh.ops.tcp(n->address, MESH_ECHO_PORT);
        n->count = (k + 1) % MESH_RING;
        (void)mesh.ops.pause(1);
    }
}

time_t mesh_round(time_t t)
{
    return (t + MESH_ROUND - 1) / MESH_ROUND * MESH_ROUND;
}

void mesh_body(struct vsb *data, time_t now)
{
    char date[VTIM_FORMAT_SIZE];
    for (mesh_node *n = mesh.nodes; n != nullptr; n = n->next) {
        CHECK_OBJ(n, MESH_NODE_MAGIC);
        // Nodes the service has stopped naming keep their samples unsent.
        if (now - n->last_seen > MESH_SEEN_MAX)
            continue;
        VSB_format(data, "mesh[]=%s;%d;", n->address, n->node_no);
        for (int i = 0; i < n->count; i++) {
            VTIM_format(mesh_round(n->sample_time[i]), date);
            VSB_format(data, "%s|", date);
        }
        VSB_cat(data, ";");
        for (int i = 0; i < n->count; i++)
            VSB_format(data, "%d,", n->icmp[i]);
        VSB_cat(data, ";");
        for (int i = 0; i < n->count; i++)
            VSB_format(data, "%d,", n->udp[i]);
        VSB_cat(data, ";");
        for (int i = 0; i < n->count; i++)
            VSB_format(data, "%d,", n->tcp[i]);
        VSB_cat(data, "&");
        n->count = 0;
    }
}

int tran_report(const struct vsb *data)
{
    char host[MESH_HOSTNAME_MAX];
    if (gethostname(host, sizeof host) != 0) {
        VLOG("[WARN] gethostname(3) failed: %d %s", errno, std::strerror(errno));
        std::snprintf(host, sizeof host, "unknown");
    }
    host[sizeof host - 1] = '\0';

    struct vsb *body = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    AN(body);
    VSB_format(body, "%s=%s&", "mode", "update");
    VSB_format(body, "%s=%s&", "hostname", host);
    VSB_bcat(body, VSB_data(data), VSB_len(data));
    AZ(VSB_finish(body));
    int r = mesh.ops.post(VSB_data(body), VSB_len(body));
    VSB_delete(body);
    return r;
}

int mesh_connect_talk()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        VLOG("[ERROR] socket(2) fail: %d %s", errno, std::strerror(errno));
        return -1;
    }
    VTCP_setTimeout(fd);
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(MESH_TALK_PORT);
    VAS_ASSERT(inet_aton(VEL_MASTER_IP, &sin.sin_addr) != 0);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0) {
        int e = errno;
        // A send time-out on connect shows as EINPROGRESS: a warning in
        // words, logged at error priority like any other failure.
        VLOG_At(LOG_ERR, "[%s] VELEC_00154: connect(2) failed to the master server: %d %s",
                e == EINPROGRESS ? "WARN" : "ERROR", e, std::strerror(e));
        VAS_ASSERT_TEXT(close(fd) == 0, "(close(fd)) == 0");
        return -1;
    }
    return fd;
}

void mesh_callout(void *)
{
    CHECK_OBJ(&mesh, MESH_STATE_MAGIC);
    int fd = mesh.ops.connect_talk();
    if (fd >= 0) {
        (void)mesh_getNodeInfo(fd);
        mesh_probeNodes();
        VAS_ASSERT_TEXT(close(fd) == 0, "(close(fd)) == 0");
    }
    // Counted from the wheel time at which this run began, not its end.
    (void)COT_SCHEDULE(mesh.wheel, &mesh.mesh_co, MESH_INTERVAL_TICKS, mesh_callout, nullptr);
}

void tran_callout(void *)
{
    CHECK_OBJ(&mesh, MESH_STATE_MAGIC);
    struct vsb *data = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    AN(data);
    mesh_body(data, mesh.ops.now());
    AZ(VSB_finish(data));
    // A failed report loses its samples: they were reset above.
    (void)tran_report(data);
    VSB_delete(data);
    (void)COT_SCHEDULE(mesh.wheel, &mesh.tran_co, TRAN_INTERVAL_TICKS, tran_callout, nullptr);
}

void mesh_start(cot_wheel *wheel, bool alt_endpoint)
{
    AN(wheel);
    CHECK_OBJ(&mesh, MESH_STATE_MAGIC);
    mesh.wheel = wheel;
    mesh.alt_endpoint = alt_endpoint;
    cot_entry_init(&mesh.mesh_co, 0);
    cot_entry_init(&mesh.tran_co, 0);
    (void)COT_SCHEDULE(wheel, &mesh.mesh_co, MESH_FIRST_TICKS, mesh_callout, nullptr);
    (void)COT_SCHEDULE(wheel, &mesh.tran_co, TRAN_INTERVAL_TICKS, tran_callout, nullptr);
}
