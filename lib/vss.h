// Address texts to socket addresses, and TCP sockets opened from them.
//
// An address text is "host", "host:port", "host port", ":port" or
// "[v6-address]:port". Records and strings handed out here are allocated with
// malloc and belong to the caller, who releases them with free() (or
// VSS_free for a whole result of VSS_resolve).
#pragma once

#include <sys/socket.h>

// One resolved socket address.
struct vss_entry {
    int va_family;   // AF_INET, AF_INET6
    int va_socktype; // always SOCK_STREAM here
    int va_protocol;
    int va_addrlen; // bytes of va_addr in use
    struct sockaddr_storage va_addr;
};
static_assert(sizeof(struct sockaddr_storage) == 128, "an address record holds 128 bytes");

// Split an address text into host and port. Both outputs start as null and
// get newly allocated strings when present (the port may be empty: "host:").
// Gives -1 only for a malformed bracketed address ("[", "[]", "[::1]x").
int VSS_parse(const char *str, char **addr, char **port);

// Resolve an address text for TCP. A port in the text wins; otherwise the
// whole text is resolved as a host with def_port (may be null). Ports outside
// 0..65535 and resolver failures give 0. On success *va is an array of that
// many records, in resolver order; on failure *va is null.
int VSS_resolve(const char *str, const char *def_port, struct vss_entry ***va);

// Free the n records of a VSS_resolve result and the array itself.
void VSS_free(struct vss_entry **va, int n);

// A socket bound to the record's address (SO_REUSEADDR; IPv6 addresses are
// IPv6-only), or -1 after printing the failed call with perror.
int vss_bind_one(const struct vss_entry *va);

// vss_bind_one, then listen with the given backlog; -1 on failure.
int vss_listen_one(const struct vss_entry *va, int depth);

// A socket connected (or, when nonblock is set, still connecting) to the
// record's address, or -1. An address family the host does not support
// fails silently; other failures print the failed call with perror.
int vss_connect_one(const struct vss_entry *va, int nonblock);

// Connect to the first address of the text that answers. With tmo != 0 each
// address gets tmo seconds to complete the connection, and the socket handed
// back is still non-blocking (switch it back with VTCP_blocking). Gives the
// connected socket, or -1 with errno from the last failing step.
int VSS_open(const char *str, double tmo);
