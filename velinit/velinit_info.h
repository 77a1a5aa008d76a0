// The node description sent to the master server and the settings written
// back into the configuration directory.
#pragma once

#include <sys/types.h>

struct vsb;

// Every file velinit reads or writes lives here.
#define VELINIT_DIR "/etc/velkarn-server/"
constexpr size_t VELINIT_BUFSZ = 8192;  // paths, plain input files, ACL lines
constexpr size_t VELINIT_ACLSZ = 65536; // whole access-list files
constexpr int VELINIT_MAXFIELDS = 16;   // settings fields looked at

// Read the file whole with one read of at most size bytes and NUL-terminate
// it. Gives the byte count; -1 when it cannot be opened (errno tells why),
// -2 when it is empty, -3 when it holds size bytes or more (too long).
ssize_t readFromFile(const char *path, char *buf, size_t size);
// Create or truncate path and write text without its NUL. 0 or -1.
int writeIntoFile(const char *path, const char *text);

// Append "name=VALUE&" with the content of VELINIT_DIR/name, as it is, when
// that file is usable; nothing otherwise.
void putBody(struct vsb *body, const char *name);
// Append "key=LINE&" for every non-empty newline-ended line of path.
void readACL(const char *path, struct vsb *body, const char *key);
// The whole request body, fields in their fixed order.
void VELINIT_Body(struct vsb *body);

// Split text in place at every character of sep; non-empty pieces go to
// slots (at most max of them). Gives the count; when the text ran out first,
// slots[count] is null.
int splitFields(char **slots, int max, char *text, const char *sep);
// Split the settings body into f (VELINIT_MAXFIELDS slots) and check its
// fields, writing nothing. Gives the field count, or -1 after printing why.
int checkInfo(char *body, char **f);
// Check the settings body and write the five output files. 0 or -1.
int parseInfo(char *body);
// Post the node description to endpoint ("host:443") and handle the answer.
int getInfo(const char *endpoint);
