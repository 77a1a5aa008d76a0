// Splitting a text into an argument vector, with double quotes and backslash
// escapes, as the command-line style settings of the daemons need.
#pragma once

// VAV_Parse flags.
constexpr int VAV_HASH_COMMENT = 1; // "#" at the start of an argument ends the text
constexpr int VAV_SPLIT_COMMA = 2;  // a comma also ends an unquoted argument
constexpr int VAV_RAW = 4;          // no escapes, no quoting: arguments copied raw

// Split s into arguments. Entry 0 is null on success or a constant error text
// ("Invalid backslash sequence", "Missing '\"'"); entries 1..n are allocated
// arguments followed by a null pointer. *argc (when given) receives n + 1.
// Null only when the vector itself cannot be allocated. Free with VAV_Release.
char **VAV_Parse(const char *s, int *argc, int flag);

// Decode the escape at s (which must point at a backslash) into *res (when
// given). Gives the number of characters the escape occupies, 0 if invalid.
int VAV_BackSlash(const char *s, char *res);

// Newly allocated copy of [s, e) (e null: up to the NUL) with every escape
// decoded; null when the allocation fails.
char *VAV_BackSlashDecode(const char *s, const char *e);

// Free a vector from VAV_Parse: entries 1 onwards and the array.
void VAV_Release(char **argv);
