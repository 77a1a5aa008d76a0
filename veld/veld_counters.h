// What veld has done since it started, for its status file: frames and bytes
// between clients and veld by transport, broadcasts copied to sessions, and
// what each of its limits refused. Plain counters bumped where it happens
// (veld is one thread); veld_status copies them out every few seconds.
#pragma once

#include <cstdint>

// Indexed by the session's transport kind (SESS_UDP, SESS_TCP, SESS_ICMP).
constexpr int VELD_TRANSPORTS = 4;

struct veld_counters {
    uint64_t frames_in[VELD_TRANSPORTS] = {};  // client frames received
    uint64_t bytes_in[VELD_TRANSPORTS] = {};   // their Ethernet frame bytes
    uint64_t frames_out[VELD_TRANSPORTS] = {}; // frames handed to a client's transport
    uint64_t bytes_out[VELD_TRANSPORTS] = {};
    uint64_t broadcasts = 0;       // client broadcasts switched
    uint64_t broadcast_copies = 0; // copies of them sent to the other sessions
    // Refusals, one per limit.
    uint64_t refused_sessions_total = 0;    // a new session beyond all sessions allowed
    uint64_t refused_sessions_endpoint = 0; // beyond the sessions of one endpoint
    uint64_t refused_source_address = 0;    // frames from a group or the TAP's address
    uint64_t refused_address_table = 0;     // remote addresses beyond one session's table
    uint64_t refused_tcp_queue = 0;         // frames dropped at a full TCP write queue
    uint64_t refused_tcp_descriptor = 0;    // connections refused for their descriptor
    // (client broadcasts beyond a session's budget: sesst.bcast_over)
};
extern veld_counters vcnt;
