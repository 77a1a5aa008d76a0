// The shmlog thread: follows veld's shared-memory log and appends every
// usage record, as one line, to the UTC day's usage file.
#pragma once

#include <cstdint>
#include <pthread.h>
#include <string>

// Seconds to wait after a daily file could not be opened, and between two
// dispatch rounds (each ends after 5 quiet seconds).
constexpr unsigned SHMLOG_OPEN_RETRY = 10;
constexpr unsigned SHMLOG_ROUND_PAUSE = 1;

extern pthread_t shmlog_thread;

// Thread body; never returns. Exits the process with status 1 when the
// shared-memory log cannot be opened.
void *shmlog_start(void *priv);

// Dispatch callback: priv is the open daily file. Usage records go there,
// anything else to standard output, each as "%.*s\n". Gives 0.
int shmlog_emit(void *priv, unsigned tag, unsigned id, unsigned len, unsigned spec, const char *ptr,
                uint64_t bitmap);

// Daily file that records arriving at UTC time t belong to.
std::string shmlog_path(double t);
