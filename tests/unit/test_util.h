// Helpers the unit tests of every program share: scratch folders, whole-file
// reads and writes, and a log sink that keeps each line with its priority.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
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
} // namespace test_util
