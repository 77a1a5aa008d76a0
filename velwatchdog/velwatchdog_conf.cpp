#include "velwatchdog_conf.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "vas.h"
#include "vlog.h"

namespace
{
bool is_blank(int c)
{
    return c == ' ' || c == '\t';
}

// Words of all lines of one entry; only the first few are kept, so that an
// endless chain of continuation lines cannot grow memory without bound.
constexpr std::size_t ENTRY_KEEP = 2 + WAT_ARGS_MAX + 1;
} // namespace

void WAT_ConfInit(wat_conf_reader *rd, std::FILE *fp, const char *path)
{
    AN(rd);
    AN(fp);
    rd->magic = WAT_CONF_READER_MAGIC;
    rd->fp = fp;
    rd->path = path != nullptr ? path : "";
    rd->quiet = false;
    rd->lineno = 0;
    rd->entry_line = 0;
}

int WAT_ConfVerify(const char *path, std::string *why, unsigned *nentries)
{
    AN(why);
    char buf[WAT_LINE_MAX + 256];
    std::FILE *fp = std::fopen(path, "r");
    if (fp == nullptr) {
        std::snprintf(buf, sizeof buf, "%s: %s", path, std::strerror(errno));
        *why = buf;
        return -1;
    }
    struct stat st;
    if (fstat(fileno(fp), &st) == 0 && !S_ISREG(st.st_mode)) {
        std::fclose(fp);
        std::snprintf(buf, sizeof buf, "%s: not a regular file", path);
        *why = buf;
        return -1;
    }
    wat_conf_reader rd;
    WAT_ConfInit(&rd, fp, path);
    wat_conf_entry e;
    unsigned n = 0;
    int r;
    while ((r = WAT_ConfNext(&rd, &e)) == 1)
        n++;
    int rerr = std::ferror(fp) ? errno : 0;
    std::fclose(fp);
    if (r < 0) {
        std::snprintf(buf, sizeof buf, "%s line %u: syntax error, a service name without a program",
                      path, rd.entry_line);
        *why = buf;
        return -1;
    }
    if (rerr != 0) {
        std::snprintf(buf, sizeof buf, "%s: read error: %s", path, std::strerror(rerr));
        *why = buf;
        return -1;
    }
    if (nentries != nullptr)
        *nentries = n;
    return 0;
}

int WAT_ConfCheck(const char *path)
{
    std::FILE *fp = std::fopen(path, "r");
    if (fp == nullptr)
        return 0;
    wat_conf_reader rd;
    WAT_ConfInit(&rd, fp, path);
    rd.quiet = true;
    wat_conf_entry e;
    int r;
    while ((r = WAT_ConfNext(&rd, &e)) == 1)
        continue;
    std::fclose(fp);
    return r;
}

bool WAT_ConfLine(std::FILE *fp, std::string *line)
{
    line->clear();
    int c = EOF;
    bool any = false;
    while (line->size() < WAT_LINE_MAX) {
        c = std::getc(fp);
        if (c == EOF || c == '\n')
            break;
        any = true;
        line->push_back(static_cast<char>(c));
    }
    if (line->size() == WAT_LINE_MAX) {
        // A line of exactly the longest length still owns its line end.
        c = std::getc(fp);
        if (c != '\n' && c != EOF)
            std::ungetc(c, fp);
    }
    if (!any && c == EOF)
        return false;
    // The text is a C string for exec: a NUL byte ends it.
    std::size_t nul = line->find('\0');
    if (nul != std::string::npos)
        line->resize(nul);
    // Files written with CR LF line ends: the CR belongs to the line end.
    if (c == '\n' && !line->empty() && line->back() == '\r')
        line->pop_back();
    return true;
}

std::size_t WAT_ConfSplit(const std::string &line, std::vector<std::string> *words,
                          std::size_t keep)
{
    std::size_t n = 0, i = 0, len = line.size();
    for (;;) {
        while (i < len && is_blank(line[i]))
            i++;
        if (i == len)
            break;
        std::size_t start, end;
        if (line[i] == '"' || line[i] == '\'') {
            char q = line[i];
            start = i + 1;
            end = line.find(q, start);
            if (end == std::string::npos) {
                end = len;
                i = len;
            } else {
                i = end + 1;
            }
        } else {
            start = i;
            while (i < len && !is_blank(line[i]))
                i++;
            end = i;
        }
        if (words->size() < keep)
            words->emplace_back(line, start, end - start);
        n++;
    }
    return n;
}

int WAT_ConfNext(wat_conf_reader *rd, wat_conf_entry *entry)
{
    CHECK_OBJ_NOTNULL(rd, WAT_CONF_READER_MAGIC);
    AN(entry);
    std::string line;
    std::vector<std::string> words;
    for (;;) {
        if (!WAT_ConfLine(rd->fp, &line))
            return 0;
        rd->lineno++;
        rd->entry_line = rd->lineno;
        if (line.empty() || line[0] == '#')
            continue;
        words.clear();
        std::size_t n = WAT_ConfSplit(line, &words, ENTRY_KEEP);
        // A following line that starts with a blank continues this entry.
        for (;;) {
            int c = std::getc(rd->fp);
            if (c == EOF)
                break;
            std::ungetc(c, rd->fp);
            if (!is_blank(c))
                break;
            if (!WAT_ConfLine(rd->fp, &line))
                break;
            rd->lineno++;
            n += WAT_ConfSplit(line, &words, ENTRY_KEEP);
        }
        if (n == 0)
            continue; // white space only
        if (n == 1) {
            VLOG("[ERROR] %s: syntax error", rd->path.c_str());
            return -1;
        }
        if (n - 2 > WAT_ARGS_MAX) {
            if (!rd->quiet)
                VLOG("[ERROR] %s: too many arguments for service %s", rd->path.c_str(),
                     words[0].c_str());
            continue;
        }
        entry->name = std::move(words[0]);
        entry->program = std::move(words[1]);
        entry->args.assign(std::make_move_iterator(words.begin() + 2),
                           std::make_move_iterator(words.end()));
        return 1;
    }
}
