// Checks that the host can carry the tunnel. Each passes silently or prints
// what is wrong (and usually how to fix it) and ends the process with status 1.
#pragma once

// Convert text as a signed long in base; 0, or -1 after printing why.
int NUM_strtol(long *result, const char *text, char **end, int base);

void checkRootPermission(void);
void checkNAT(void);
void checkIPv4Forward(void);
void checkIPv4ForwardFromProc(void);
void checkIPv4IcmpEchoIgnoreAllFromProc(void);

// All four, in their order.
void VELINIT_Checks(void);
