// The session record, its client endpoint and the session table that holds
// them: what the switch keeps per client station and what accounting reads
// and counts into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

struct tcpconn;

constexpr uint32_t SESS_MAGIC = 0x37f52bf3;

// Transport kinds.
constexpr uint32_t SESS_UDP = 1;
constexpr uint32_t SESS_TCP = 2;
constexpr uint32_t SESS_ICMP = 3;

// Remote addresses counted per session and interval.
constexpr int SESS_IP_USAGE_MAX = 2048;
// The address table grows as addresses arrive, from this many entries on.
constexpr int SESS_IP_USAGE_FIRST = 8;
// Stations (sessions) one client endpoint may bring: a client that bridges a
// small LAN carries a few dozen at most, and every broadcast is copied once
// per session, so one endpoint cannot multiply it beyond this.
constexpr uint64_t SESS_MAX_PER_ENDPOINT = 32;
// Sessions in all. The clients share one /20 subnet behind the TAP device
// (4096 addresses); twice that leaves room for the stale sessions of
// stations that moved to a new endpoint and have not expired yet.
constexpr uint64_t SESS_MAX_TOTAL = 8192;
// A session dies after this many seconds without a frame from its client.
constexpr int64_t SESS_TIMEOUT = 600;
// Frames of this length or shorter carry no payload worth tunnelling.
constexpr size_t SESS_MIN_FRAME = 13;

// IPv4 addresses are bound to the session that uses them (its ARP sender and
// IPv4 source addresses), so that an ARP request for one reaches only its
// owner instead of every session. A station has one address or a few; one
// that uses more loses its oldest bindings.
constexpr int SESS_ARP_PER_SESS = 8;
constexpr uint32_t SESS_ARP_BUCKETS = 8192;
// Other broadcasts from a client reach every other session within this
// budget per session (frames per second, and the burst it may save up);
// beyond it they reach the TAP device only. Each costs a copy per session.
constexpr double SESS_BCAST_RATE = 5;
constexpr double SESS_BCAST_BURST = 20;

struct sess;
// One binding of an IPv4 address to the session that owns it.
struct sess_arp {
    uint32_t ip; // network byte order
    sess *sp;
    sess_arp *next;  // in its bucket
    sess_arp *snext; // in its session's list, newest first
};

struct usage {
    uint32_t addr; // IPv4, network byte order
    uint64_t tx;
    uint64_t rx;
};

struct sess {
    uint32_t magic;
    uint32_t type;
    struct tcpconn *tc;
    struct sockaddr_storage addr;
    uint32_t addrlen;
    char hoststr[64];
    char portstr[16];
    uint8_t mac[6];
    char macstr[18];
    int64_t last_seen;
    usage peer_usage;
    usage other_usage;
    usage *ip_usage;      // grows as addresses arrive; released after an interval without any
    int32_t n_ip_usage;   // entries in use, 0 to SESS_IP_USAGE_MAX
    int32_t ip_usage_cap; // entries allocated
    uint16_t icmp_id;     // as on the wire
    uint16_t icmp_seq;    // as on the wire
    sess *all_prev, *all_next;
    sess *bucket_prev, *bucket_next;
    struct sess_ep *ep; // the endpoint that brought it
    uint32_t stat_gen;  // the usage round that last wrote it
    sess_arp *arp;      // addresses bound to it, newest first
    int n_arp;
    double bc_tokens; // broadcast budget left (frames)
    double bc_last;   // monotonic time it was last filled; 0: never
};

// One client endpoint (UDP source address and port, TCP connection, or ICMP
// source address and echo sequence number) and how many sessions it holds.
struct sess_ep {
    uint32_t type;
    const struct tcpconn *tc;
    uint16_t icmp_seq;
    uint32_t addrlen;
    struct sockaddr_storage addr;
    uint64_t nsess;
    sess_ep *next;
};
constexpr uint32_t SESS_EP_BUCKETS = 512;

struct sess_bucket {
    sess *head;
    sess *tail;
};

// Echo identifier and sequence number of an ICMP tunnel message, as on the wire.
struct icmp_origin {
    uint16_t id;
    uint16_t seq;
};

struct sess_table {
    sess_bucket *sesstbl = nullptr;
    uint32_t sesstbl_mask = 0;
    sess *sesslist_head = nullptr; // oldest
    sess *sesslist_tail = nullptr; // newest
    uint64_t n_sess = 0;
    int64_t last_cleanup = 0;
    sess_ep *eptbl[SESS_EP_BUCKETS] = {};
    sess_arp *arptbl[SESS_ARP_BUCKETS] = {};
    uint64_t n_arp = 0;
    uint64_t bcast_over = 0; // client broadcasts kept from the other sessions by the budget
};
extern sess_table sesst;

// The usage entry of a remote address, appended when new; null (after the
// VELEC_00153 line) when the table is full.
usage *sess_ip_usage(sess *sp, uint32_t addr);
