// The mesh daemon's node table, the node-list exchange with veltalkd, the
// probe pass over every node and the mesh report to the master server, with
// the two periodic jobs that drive them on the callout wheel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

#include "callout.h"

struct vsb;

constexpr uint32_t MESH_NODE_MAGIC = 0x6d5e7a31;
constexpr uint32_t MESH_STATE_MAGIC = 0x6d5e7a32;

constexpr int MESH_RING = 256;              // samples kept per node between reports
constexpr long MESH_FIRST_TICKS = 500;      // first list fetch after start
constexpr long MESH_INTERVAL_TICKS = 6000;  // list fetch and probe pass
constexpr long TRAN_INTERVAL_TICKS = 30000; // report
constexpr int MESH_TALK_PORT = 10010;       // veltalkd at the master's public address
constexpr int MESH_ECHO_PORT = 10007;       // every node's velechod
constexpr size_t ODR_LINE_MAX = 8192;       // one node-list line, newline and NUL included
constexpr int MESH_FIELDS_MAX = 16;
constexpr time_t MESH_SEEN_MAX = 86400; // nodes not named for longer are not reported
constexpr int MESH_ROUND = 30;          // sample times are reported rounded up to this
constexpr size_t MESH_HOSTNAME_MAX = 8192;
constexpr const char *MESH_REPORT_PATH = "/report/mesh.php";
constexpr const char *MESH_LIST_REQUEST = "UN v2\r\n";

struct mesh_node {
    uint32_t magic;
    mesh_node *next;
    char *address; // dotted decimal, the key
    uint16_t short_no;
    int32_t node_no;
    time_t last_seen;
    time_t sample_time[MESH_RING];
    int32_t icmp[MESH_RING];
    int32_t udp[MESH_RING];
    int32_t tcp[MESH_RING];
    int32_t count; // next ring slot; samples since the last report
};

// What the daemon reaches outside itself, so that tests can stand in for
// veltalkd, the probes, the master server and the clocks.
struct mesh_ops {
    int (*connect_talk)();         // socket connected to veltalkd, or -1 (logged)
    int (*icmp)(const char *addr); // the probes of velmeshd_rtt
    int (*udp)(const char *addr, int port);
    int (*tcp)(const char *addr, int port);
    int (*post)(const char *body, ssize_t len); // the report, 0 or -1
    unsigned (*pause)(unsigned seconds);        // between two nodes
    time_t (*now)();                            // wall clock
};

struct mesh_state {
    uint32_t magic;
    mesh_node *nodes; // newest first, never shrinks
    bool alt_endpoint;
    cot_wheel *wheel;
    cot_entry mesh_co;
    cot_entry tran_co;
    mesh_ops ops;
};
extern mesh_state mesh;

// The real outside world.
extern const mesh_ops mesh_default_ops;

// Empty table, default ops, no wheel (tests; frees what the table held).
void mesh_reset();

// Read one line of at most len - 1 bytes, newline included, NUL-terminated.
// Gives its length; -1 after "ODR_read() error" when the peer closed or the
// read failed; -2 when len - 1 bytes came without a newline.
ssize_t ODR_readline(int fd, char *buf, size_t len);

// How one node-list line is to be taken.
enum class mesh_line_kind {
    node,  // a node: address, short_no, node_no filled
    end,   // "UO": the list is complete
    wrong, // "U" and another byte (in byte): the list ends with a warning
    other, // not a "U" line: the list ends silently
    skip,  // a node line that cannot be used; the list goes on
};
struct mesh_line {
    const char *address; // points into the line
    uint16_t short_no;
    int32_t node_no;
    int byte;        // wrong: the second byte
    const char *why; // skip: the warning to log
};
// Classify a line read by ODR_readline (NUL-terminated; split in place).
mesh_line_kind mesh_parse_line(char *line, mesh_line *out);

// Send the request on fd and take in the list. Gives the number of node
// lines taken, or -1 when the list did not arrive complete.
int mesh_getNodeInfo(int fd);
// Insert a node, or refresh the last-seen time of a known address.
mesh_node *node_insert(const char *address, uint16_t short_no, int32_t node_no);
mesh_node *mesh_find(const char *address);

// One probe pass over every node, newest first.
void mesh_probeNodes();

// Append the report fields of every node seen within MESH_SEEN_MAX of now,
// resetting their sample counts.
void mesh_body(struct vsb *data, time_t now);
// Sample time as the report shows it: rounded up to MESH_ROUND seconds.
time_t mesh_round(time_t t);
// Build the request body around data and post it.
int tran_report(const struct vsb *data);

// The two periodic jobs; mesh_start schedules them on the wheel.
void mesh_callout(void *priv);
void tran_callout(void *priv);
void mesh_start(cot_wheel *wheel, bool alt_endpoint);

// The real connection to veltalkd at VEL_MASTER_IP:MESH_TALK_PORT.
int mesh_connect_talk();
