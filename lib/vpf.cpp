#include "vpf.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vas.h"

namespace
{

// Longest pid text read back; anything longer cannot be a pid of ours.
constexpr std::size_t VPF_PIDTEXT_MAX = 15;
// Lock the whole file; cmd is F_SETLK or F_SETLKW, or their open-file-
// description forms F_OFD_SETLK and F_OFD_SETLKW.
int vpf_lock(int fd, int cmd, short type)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(fd, cmd, &lock) == 0)
        return 0;
    // POSIX lets a refused lock report either; callers rely on EAGAIN.
    if (errno == EACCES)
        errno = EAGAIN;
    return -1;
}

// Remove the file; free the handle, or keep it with fd -1 for VPF_Write's
// failure path. The first error wins.
int vpf_remove(vpf_file *pfh, bool freeit)
{
    int error = vpf_check(pfh);
    if (error != 0) {
        errno = error;
        return -1;
    }
    if (unlink(pfh->path) == -1)
        error = errno;
    if (close(pfh->fd) == -1 && error == 0)
        error = errno;
    if (freeit)
        std::free(pfh);
    else
        pfh->fd = -1;
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

// Keep the path absolute: detaching changes to "/", and a relative path
// would then name another file for the checks and the unlink.
int vpf_keep_path(vpf_file *pfh, const char *path)
{
    if (path[0] == '/') {
        std::strcpy(pfh->path, path);
        return 0;
    }
    char cwd[VPF_PATH_MAX + 1];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        std::strcpy(pfh->path, path); // nothing better to go by
        return 0;
    }
    int n = std::snprintf(pfh->path, sizeof pfh->path, "%s/%s", cwd, path);
    return n < 0 || static_cast<std::size_t>(n) >= sizeof pfh->path ? -1 : 0;
}

// A pid file is a regular file. Anything else in its place (a FIFO, a device,
// a socket) is never read or locked: opening a FIFO for reading would wait
// for a writer for good. Directories keep their usual error.
int vpf_not_regular(const struct stat &sb)
{
    return S_ISREG(sb.st_mode) ? 0 : S_ISDIR(sb.st_mode) ? EISDIR : EINVAL;
}

} // namespace

// The open-and-lock loop; ofd chooses locks of the open file description,
// which a fork passes on, over the process's record locks.
static int vpf_open_locked_as(const char *path, int flags, mode_t mode, bool ofd)
{
    const short type = (flags & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
    const int cmd =
        (flags & O_NONBLOCK) ? (ofd ? F_OFD_SETLK : F_SETLK) : (ofd ? F_OFD_SETLKW : F_SETLKW);
    // Truncating before the lock is held would wipe a running holder's pid.
    const bool trunc = (flags & O_TRUNC) != 0;
    flags &= ~O_TRUNC;

    for (;;) {
        // Opened without blocking (a FIFO would wait for its other end) and
        // refused unless it is a regular file; the caller's O_NONBLOCK only
        // chooses how to wait for the lock.
        int fd = open(path, flags | O_NONBLOCK | O_NOCTTY, mode);
        if (fd == -1)
            return -1;
        struct stat ft;
        if (int error = fstat(fd, &ft) == -1 ? errno : vpf_not_regular(ft); error != 0) {
            close(fd);
            errno = error;
            return -1;
        }
        if (!(flags & O_NONBLOCK) && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == -1) {
            int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        if (vpf_lock(fd, cmd, type) == -1) {
            int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        struct stat sb, fsb;
        if (stat(path, &sb) == -1) {
            int error = errno;
            close(fd);
            if (error == ENOENT)
                continue; // removed while we waited for the lock
            errno = error;
            return -1;
        }
        if (fstat(fd, &fsb) == -1) {
            int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        if (sb.st_dev != fsb.st_dev || sb.st_ino != fsb.st_ino) {
            close(fd); // replaced while we waited: lock the new file
            continue;
        }
        if (trunc && ftruncate(fd, 0) == -1) {
            int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        return fd;
    }
}

int vpf_open_locked(const char *path, int flags, mode_t mode)
{
    return vpf_open_locked_as(path, flags, mode, false);
}

int vpf_read_pid(const char *path, pid_t *pidptr)
{
    char buf[VPF_PIDTEXT_MAX + 1];
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1)
        return errno;
    struct stat sb;
    if (int error = fstat(fd, &sb) == -1 ? errno : vpf_not_regular(sb); error != 0) {
        close(fd);
        return error;
    }
    ssize_t n = read(fd, buf, VPF_PIDTEXT_MAX);
    int error = errno;
    close(fd);
    if (n == -1)
        return error;
    buf[n] = '\0';
    char *end = nullptr;
    errno = 0;
    long pid = std::strtol(buf, &end, 10);
    if (end != buf + n)
        return EINVAL;
    // An empty file, a sign or a value no process can have is no pid: handed
    // to kill(2) it would name a process group or every process.
    if (n == 0 || errno == ERANGE || pid <= 0 || pid > INT_MAX)
        return EINVAL;
    *pidptr = static_cast<pid_t>(pid);
    return 0;
}

int vpf_check(const vpf_file *pfh)
{
    if (pfh == nullptr || pfh->fd == -1)
        return EINVAL;
    struct stat sb;
    if (fstat(pfh->fd, &sb) == -1)
        return errno;
    if (sb.st_dev != pfh->dev || sb.st_ino != pfh->ino)
        return EINVAL;
    // The descriptor always names what we opened; whether the path still
    // does is what keeps us from writing a pid nobody sees or unlinking
    // another daemon's file.
    if (stat(pfh->path, &sb) == -1 || sb.st_dev != pfh->dev || sb.st_ino != pfh->ino)
        return EINVAL;
    return 0;
}

vpf_file *VPF_Open(const char *path, mode_t mode, pid_t *pidptr)
{
    AN(path);
    if (std::strlen(path) > VPF_PATH_MAX) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    auto *pfh = static_cast<vpf_file *>(std::malloc(sizeof(vpf_file)));
    if (pfh == nullptr)
        return nullptr;
    if (vpf_keep_path(pfh, path) == -1) {
        std::free(pfh);
        errno = ENAMETOOLONG;
        return nullptr;
    }

    pfh->fd = vpf_open_locked_as(pfh->path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC,
                                 mode, true);
    if (pfh->fd == -1) {
        int error = errno;
        if (error == EAGAIN && pidptr != nullptr) {
            int rerror = vpf_read_pid(pfh->path, pidptr);
            error = rerror != 0 ? rerror : EEXIST;
        }
        std::free(pfh);
        errno = error;
        return nullptr;
    }

    struct stat sb;
    if (fstat(pfh->fd, &sb) == -1) {
        int error = errno;
        unlink(pfh->path);
        close(pfh->fd);
        std::free(pfh);
        errno = error;
        return nullptr;
    }
    pfh->dev = sb.st_dev;
    pfh->ino = sb.st_ino;
    return pfh;
}

int VPF_Write(vpf_file *pfh)
{
    int error = vpf_check(pfh);
    if (error != 0) {
        errno = error;
        return -1;
    }
    if (ftruncate(pfh->fd, 0) == -1) {
        error = errno;
        (void)vpf_remove(pfh, false);
        errno = error;
        return -1;
    }
    char pidstr[16];
    error = std::snprintf(pidstr, sizeof pidstr, "%ju", static_cast<uintmax_t>(getpid()));
    VAS_ASSERT_TEXT(error >= 0 && static_cast<std::size_t>(error) < sizeof pidstr,
                    "error < sizeof pidstr");
    const std::size_t len = std::strlen(pidstr);
    ssize_t n = pwrite(pfh->fd, pidstr, len, 0);
    if (n != static_cast<ssize_t>(len)) {
        error = n == -1 ? errno : EIO; // a short write leaves errno as it was
        (void)vpf_remove(pfh, false);
        errno = error;
        return -1;
    }
    return 0;
}

int VPF_Delete(vpf_file *pfh)
{
    return vpf_remove(pfh, true);
}

int VPF_Running(const char *path, pid_t *pidptr)
{
    for (;;) {
        vpf_file *pfh = VPF_Open(path, 0644, nullptr);
        if (pfh == nullptr) {
            if (errno != EAGAIN)
                return -1;
            // The lock is what tells; a holder that has not written yet is alive.
            if (pidptr != nullptr && vpf_read_pid(path, pidptr) != 0)
                *pidptr = -1;
            return 1;
        }
        // Nobody holds it: our probe must not leave a pid file behind. But a
        // file put in its place meanwhile, perhaps by a daemon starting, is
        // not ours to remove: then ask again. Either way the handle goes.
        const bool ours = vpf_check(pfh) == 0;
        int error = 0;
        if (ours && unlink(pfh->path) == -1)
            error = errno;
        close(pfh->fd);
        std::free(pfh);
        if (!ours)
            continue;
        if (error != 0) {
            errno = error;
            return -1;
        }
        return 0;
    }
}
