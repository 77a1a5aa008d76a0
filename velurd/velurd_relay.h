// UDP relay of velurd: a client puts a 10-byte header naming the real
// destination in front of each datagram it sends to port 7879; the payload
// goes out on a socket of that client's own, and whatever comes back to that
// socket is handed to the client as it is. One relay session per client
// source address keeps the replies of different clients apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

constexpr uint32_t URD_SESS_MAGIC = 0x37f52bf3;
constexpr uint16_t URD_PORT = 7879;
// Request header: reserved (2), fragment number, address type, IPv4 address,
// port; the layout of a SOCKS5 UDP request with an IPv4 destination.
constexpr size_t URD_HDR_LEN = 10;
constexpr uint8_t URD_ATYP_IPV4 = 1;
// Largest datagram relayed in either direction; longer ones are cut.
constexpr size_t URD_DGRAM_MAX = 4096;
// A client that sends nothing for this long loses its session.
constexpr int64_t URD_SESS_TIMEOUT = 600;
// select() watches only descriptors below FD_SETSIZE.
constexpr int URD_FD_LIMIT = 1024;
// Idle wake-up of the loop, which runs the expiry pass.
constexpr int URD_SELECT_TIMEOUT = 1;
// Sessions one client address may hold, whatever its ports. A host behind a
// NAT, or one running several programs with a few sockets each, stays well
// below it; at 32 a single address holds about 3% of the ~1000 relay sockets
// select() can watch, so filling the table takes over 30 addresses instead of
// one client spraying source ports.
constexpr int URD_SESS_PER_ADDR = 32;
// The node's own addresses are read again this often (seconds): veld brings
// the TAP device up after velurd may have started, and addresses change.
constexpr int64_t URD_LOCAL_REFRESH = 10;
// Where velinit leaves the node's public and TAP addresses.
constexpr const char *URD_PUBLIC_IP_FILE = "/etc/velkarn-server/public_ip";
constexpr const char *URD_TAP_IP_FILE = "/etc/velkarn-server/v2_tapip";

struct urd_sess {
    uint32_t magic;
    struct sockaddr_storage addr; // the client's source address
    uint32_t addrlen;
    int fd; // unbound UDP socket; its port is the client's face towards destinations
    int64_t last_seen;
    int64_t timeout;
    urd_sess *next;
};

// Everything velurd keeps, in one place.
struct urd_state {
    urd_sess *head = nullptr; // newest first
    int count = 0;
    int listen_fd = -1;
    // Descriptors a relay socket may use; tests lower it.
    int fd_limit = URD_FD_LIMIT;
    // Sessions one client address may hold; tests lower it.
    int per_addr = URD_SESS_PER_ADDR;
    // Second of the last expiry pass.
    int64_t last_expire = 0;
    // The node's own IPv4 addresses (network order): every address and
    // broadcast address on its interfaces, the public and the TAP address.
    std::vector<uint32_t> local;
    int64_t local_read = -1; // second they were read; -1: never
    const char *public_ip_file = URD_PUBLIC_IP_FILE;
    const char *tap_ip_file = URD_TAP_IP_FILE;
};
extern urd_state urd;

// Wall clock in whole seconds; tests replace it.
using urd_clock_f = int64_t (*)();
extern urd_clock_f urd_clock;

// Checks the request header of a datagram of len bytes. 0 with *dst filled
// when it is good; -1 for a datagram shorter than the header (dropped
// silently); -2 for a wrong header, which is logged.
int urd_parse_header(const uint8_t *buf, size_t len, struct sockaddr_in *dst);

// Why a destination is refused, or null when it may be relayed to. A relay
// for outside clients never reaches the node itself or its loopback services
// (which would also let one datagram of nested headers open a session per
// header), nor "this network", multicast, the limited broadcast or port 0.
const char *urd_dest_refused(const struct sockaddr_in *dst);
// Reads the node's own addresses again when force is set or they are older
// than URD_LOCAL_REFRESH seconds. A failed read keeps what was known.
void urd_local_refresh(bool force);

// The session of a client address, made when there is none yet. Null when the
// client's address holds per_addr sessions already, or a new session cannot
// get a relay socket that select() can watch (both logged).
urd_sess *sess_insert(const struct sockaddr *addr, socklen_t addrlen,
                      const struct sockaddr_in *dst);
// Destroys every session whose client has been silent past its timeout.
void urd_expire();

// One datagram from a client on the listening socket (already received).
void urd_client_datagram(uint8_t *buf, size_t len, const struct sockaddr *from, socklen_t fromlen);
// Binds the listening socket to 0.0.0.0:port; -1 with the failing call's
// name in *what and errno set.
int urd_listen(uint16_t port, const char **what);
// One turn of the loop: wait up to a second, relay what arrived, expire.
void urd_loop_once();

// Closes and frees every session (tests).
void urd_reset();
