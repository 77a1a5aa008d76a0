// The listener of velhttpd and its connections: one detached thread per
// accepted connection, which reads one request, answers it and closes.
#pragma once

#include <atomic>
#include <cstdint>

constexpr uint16_t HTTPD_PORT = 10005;
constexpr int HTTPD_BACKLOG = 1024;
// Connections served at once. Each costs a thread and a 2 MiB receive
// buffer, so the rest are refused at accept.
constexpr int HTTPD_CONN_MAX = 256;

struct httpd_state {
    std::atomic<int> active{0}; // connection threads running
    int conn_max = HTTPD_CONN_MAX;
};
extern httpd_state httpd;

// Opens the listening socket on 0.0.0.0:port; -1 with errno and the failing
// call's name in *what.
int httpd_listen(uint16_t port, const char **what);
// Accepts one connection and starts its thread, or refuses it (logged) when
// conn_max connections are being served.
void httpd_accept_one(int listen_sock);
// Serves one accepted connection and closes it.
void httpd_serve(int sock, int listen_sock);
