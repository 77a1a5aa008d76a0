// Addresses in the node files of "/etc/velkarn-server/" ("v2_tapip",
// "public_ip"): velinit writes them, veld reads them at its start. Both apply
// this one rule, so velinit never writes what veld would refuse.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether len bytes of text are an address as veld reads it from its files:
// not empty, digits and dots only (no line end, blank or NUL).
bool VNODE_IsDotted(const char *text, size_t len);

// The same rule for a NUL-terminated text, which must also convert as an
// IPv4 address (inet_addr; 255.255.255.255 does not). The address goes to
// *addr in network order when addr is given.
bool VNODE_ParseIPv4(const char *text, uint32_t *addr);
