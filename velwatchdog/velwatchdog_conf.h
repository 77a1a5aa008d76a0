// The supervisor's configuration file: one service per entry, written as its
// name, the program to execute and the argument vector to give it.
//
//   # comment line
//   meshd /opt/velkarn-server/1.6.3/bin/velmeshd velmeshd -F
//   lmond /opt/velkarn-server/1.6.3/bin/vellmond vellmond
//   	-F                        (a line starting with a blank continues)
//
// Words are split at spaces and tabs; a word that starts with a double or a
// single quote runs to the next quote of the same kind or to the end of the
// line, without escapes. The reader works on any FILE stream (a file, or a
// buffer through fmemopen) and never ends the process itself.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

constexpr const char *WAT_CONF_PATH = "/opt/velkarn/1.6.3/etc/velwatchdog.conf";
// Longest line in bytes, without its line end; a longer one reads as several.
constexpr std::size_t WAT_LINE_MAX = 2047;
// Most arguments (words after the program) one service may have.
constexpr std::size_t WAT_ARGS_MAX = 200;

struct wat_conf_entry {
    std::string name;
    std::string program;
    std::vector<std::string> args; // args[0] is the child's argument 0
};

constexpr unsigned WAT_CONF_READER_MAGIC = 0x57a7c0f1;

struct wat_conf_reader {
    unsigned magic;
    std::FILE *fp;
    std::string path; // named in the log lines
    bool quiet;       // no line for dropped entries (a dry run)
    unsigned lineno;  // lines read so far
    unsigned entry_line; // first line of the entry read last (or of the bad one)
};

void WAT_ConfInit(wat_conf_reader *rd, std::FILE *fp, const char *path);

// Read the whole file at path for its syntax alone: -1 (with the syntax error
// logged) when an entry has a name but no program, else 0 (also when the file
// cannot be read: that is reported where it is read for real).
int WAT_ConfCheck(const char *path);

// Check the file at path as the supervisor would read it, for an operator
// before a reload: 0 with *nentries set, or -1 with *why naming the line and
// the reason (a service without a program) or why the file cannot be read
// (missing, unreadable, a directory, a read error).
int WAT_ConfVerify(const char *path, std::string *why, unsigned *nentries);

// The next entry of the file. 1: *entry filled; 0: end of file; -1: an entry
// with a name but no program ("[ERROR] PATH: syntax error" is logged; the
// caller ends the process). An entry with too many arguments is logged and
// skipped; reading goes on after it.
int WAT_ConfNext(wat_conf_reader *rd, wat_conf_entry *entry);

// Split one line into words (appended to words, at most keep of them kept;
// the number of words found is returned either way).
std::size_t WAT_ConfSplit(const std::string &line, std::vector<std::string> *words,
                          std::size_t keep);

// Read one line of at most WAT_LINE_MAX bytes into *line, line end dropped.
// False at end of file with nothing read.
bool WAT_ConfLine(std::FILE *fp, std::string *line);
