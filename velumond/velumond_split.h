// In-place splitting of a text line into pieces, as the usage monitor reads
// its CSV and daily-file lines.
#pragma once

// Most pieces a line is split into; text beyond the last piece is not looked at.
constexpr int UMON_MAXPIECES = 32;

// Split s in place at every character of delims, skipping empty pieces, into
// at most max pieces (out[0] is the first). Gives the number of pieces.
int umon_split(char *s, const char *delims, char **out, int max);
