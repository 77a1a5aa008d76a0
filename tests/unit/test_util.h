// Helpers the unit tests of every program share: scratch folders, whole-file
// reads and writes, a log sink that keeps each line with its priority, and a
// forked child with its standard output captured.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace test_util
{
// A fresh folder made from a mkdtemp template, optionally the working
// directory while it lives; remove() takes it away with all it holds.
class scratch_dir
{
  public:
    bool create(const char *tmpl, bool enter = false)
    {
        std::string t = tmpl;
        if (mkdtemp(t.data()) == nullptr)
            return false;
        path_ = t;
        if (enter) {
            if (getcwd(old_cwd_, sizeof old_cwd_) == nullptr || chdir(path_.c_str()) != 0)
                return false;
            entered_ = true;
        }
        return true;
    }
    bool remove()
    {
        bool ok = true;
        if (entered_)
            ok = chdir(old_cwd_) == 0;
        entered_ = false;
        if (!path_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(path_, ec);
            ok = ok && !ec;
            path_.clear();
        }
        return ok;
    }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
    char old_cwd_[4096];
    bool entered_ = false;
};

inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void put(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// Log lines with their priorities, filled by capture() as a VLOG sink.
inline std::vector<std::pair<int, std::string>> logged;

inline void capture(int prio, const char *line)
{
    logged.emplace_back(prio, line);
}

inline bool has_line(int prio, const std::string &text)
{
    for (const auto &[p, l] : logged)
        if (p == prio && l == text)
            return true;
    return false;
}
// What a child ended with: its exit status (128 + signal when killed) and
// everything it wrote on the captured descriptor.
struct child_outcome {
    int status;
    std::string out;
};

// Runs fn in a forked child whose exit status is fn's result (fn may also
// exit), capturing its standard output (capture_fd 1) or error (2); for code
// that ends the process or must not touch the test's own state.
inline child_outcome run_in_child(const std::function<int()> &fn, int capture_fd = 1)
{
    int p[2];
    if (pipe(p) != 0)
        return {-1, ""};
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        dup2(p[1], capture_fd);
        close(p[1]);
        int r = fn();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(r);
    }
    close(p[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0)
        out.append(buf, n);
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), out};
}
} // namespace test_util
