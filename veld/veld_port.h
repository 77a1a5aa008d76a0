// How the switch reaches what carries its frames: each transport kind fills
// in a table of its operations, and the TAP device one of its own, so that
// the session table calls through them instead of into their modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

struct sess;

struct veld_port {
    // Sends one frame to sp's client; bcast: a broadcast copy (a transport
    // may log its failures at a lower level).
    void (*send)(sess *sp, const uint8_t *frame, size_t len, bool bcast);
    // A new session takes a reference to what carries it; a freed one lets
    // it go (the last one closes it). Null where a transport has nothing.
    void (*hold)(sess *sp);
    void (*release)(sess *sp);
    // The peer address of an origin (as sess_rx takes it), for the log;
    // null where the frame's own source address is the peer.
    const struct sockaddr *(*peer)(const void *origin, socklen_t *addrlen);
    // Frames queued but not sent yet (they point to their sessions); null
    // where a transport queues none that outlive a session.
    unsigned (*queued)();
};
extern const veld_port veld_port_udp;
extern const veld_port veld_port_tcp;
extern const veld_port veld_port_icmp;

struct veld_tap_port {
    // Writes one frame to the TAP device.
    void (*write)(const uint8_t *frame, size_t len);
    // Whether addr (network byte order) is one of the TAP device's own.
    bool (*owns_ip)(uint32_t addr);
    // Whether mac is the TAP device's own Ethernet address.
    bool (*owns_mac)(const uint8_t *mac);
    // The node's public address (network byte order); all ones: not set.
    uint32_t (*public_ip)();
};
extern const veld_tap_port veld_port_tap;
