// The listener of velhttpd and its connections: one detached thread per
// accepted connection, which reads one request, answers it and closes.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

constexpr uint16_t HTTPD_PORT = 10005;
constexpr int HTTPD_BACKLOG = 1024;
// Connections served at once. Each costs a thread and a 2 MiB receive
// buffer, so the rest are refused at accept.
constexpr int HTTPD_CONN_MAX = 256;
// Connections one client address may hold at once. A tester runs a handful
// in parallel; at 16 no single address can take more than a sixteenth of the
// slots, so locking everyone else out takes sixteen addresses.
constexpr int HTTPD_CONN_PER_ADDR = 16;
// The accept loop wakes at least this often (milliseconds) to write the
// counts of rate-limited log lines.
constexpr int HTTPD_TICK_MS = 1000;

struct httpd_state {
    std::atomic<int> active{0}; // connection threads running
    int conn_max = HTTPD_CONN_MAX;
    int per_addr = HTTPD_CONN_PER_ADDR;
    std::mutex mtx;                             // guards per_host
    std::unordered_map<uint32_t, int> per_host; // connections by client IPv4 address
};
extern httpd_state httpd;

// Opens the listening socket on 0.0.0.0:port; -1 with errno and the failing
// call's name in *what.
int httpd_listen(uint16_t port, const char **what);
// Accepts one connection and starts its thread, or refuses it (logged) when
// conn_max connections are being served, or per_addr from its address. Out
// of descriptors, the listener rests a moment instead (logged once).
void httpd_accept_one(int listen_sock);
// One turn of the accept loop: waits up to HTTPD_TICK_MS for a connection
// (or rests after a shortage), accepts it, writes held-back log counts.
void httpd_loop_once(int listen_sock);
// Takes a slot of a client address: false when it holds per_addr already.
bool httpd_host_take(uint32_t addr);
void httpd_host_release(uint32_t addr);
// Serves one accepted connection and closes it.
void httpd_serve(int sock, int listen_sock);
