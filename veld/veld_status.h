// veld's status file: its counters and session table, published through the
// common status module at most every few seconds.
#pragma once

// Called from every turn of the event loop; writes only when it is time.
void veld_status_tick();
// The values veld publishes, set from vcnt and the session table now (the
// gatherer of the status module; exposed for the tests).
void veld_status_gather();
