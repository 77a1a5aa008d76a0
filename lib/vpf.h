// Pid files under /var/run/: holding the file's write lock is what marks a
// daemon as running; the file holds its pid in decimal, without a newline.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Longest accepted pid-file path, in characters (the buffer adds the NUL).
constexpr std::size_t VPF_PATH_MAX = 4096;

struct vpf_file {
    int fd;                      // open and locked; -1 once removed without freeing
    char path[VPF_PATH_MAX + 1]; // made absolute, NUL-terminated
    dev_t dev;                   // identity of the file when opened, to notice
    ino_t ino;                   // a pid file that was replaced behind our back
};

// Open path with flags and mode and lock it as a whole: a write lock when the
// flags ask for writing, else a read lock; without waiting when O_NONBLOCK is
// given. O_TRUNC is applied only once the lock is held. If the path was removed
// or replaced between open and lock, the open is retried on the new file.
// Gives the descriptor, or -1 with errno (EAGAIN: another process holds it).
// The lock is a record lock of this process: a forked child does not hold it,
// and F_GETLK shows this process as its holder.
int vpf_open_locked(const char *path, int flags, mode_t mode);

// Create or take over the pid file at path, locked for this process's life.
// The lock belongs to the open file, not to the process, so it stays held
// when the daemon detaches: the exiting parent's close does not drop it, and
// closing some other descriptor of the file does not either.
// Null with errno on failure; when another process holds the lock and pidptr
// is given, its pid is stored there and errno is EEXIST (or the error met
// while reading the pid), otherwise errno is EAGAIN.
vpf_file *VPF_Open(const char *path, mode_t mode, pid_t *pidptr);

// Store this process's pid in the file. 0, or -1 with errno; on failure the
// file is removed but the handle stays allocated. A file that vanished or was
// replaced since VPF_Open gives EINVAL and is not touched.
int VPF_Write(vpf_file *pfh);

// Remove the file, close it and free the handle. 0, or -1 with errno (the
// first error met). A file that vanished or was replaced gives EINVAL, is not
// touched, and the handle stays allocated; after any other error it is freed.
int VPF_Delete(vpf_file *pfh);

// Read the pid stored at path (at most 15 bytes, the whole content must be
// the decimal number). 0, or the errno value of what failed (EINVAL for
// content that is not exactly a number).
int vpf_read_pid(const char *path, pid_t *pidptr);

// 0 when pfh is open and its path still names the file it opened, else EINVAL.
int vpf_check(const vpf_file *pfh);

// Liveness probe on another daemon's pid file: 1 when a process holds its
// lock (its pid in *pidptr when given, -1 there if unreadable), 0 when nobody
// does (the probe's own file is removed again), -1 with errno when the probe
// failed.
int VPF_Running(const char *path, pid_t *pidptr);
