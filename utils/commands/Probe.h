// The port listing's probe: which of the listed ports has a board at the other end.
#pragma once

#include <vector>

#include "serial/PortList.h"

// How long the probe waits for each port's reply, far below a run's line time-out: a port with
// nothing behind it costs this much.
constexpr int probe_timeout_ms = 100;

// The bound on the whole probe: a port whose open or set-up hangs in its driver is left as not
// probed rather than holding up the listing.
constexpr int probe_listing_ms = 2000;

// Pings every port that is free and not the system console, all at once, set up as a run sets up
// its line, and records the outcome in its `probe`. A port found held on the way is marked busy
// instead. Prints nothing.
void ProbePorts(std::vector<PortInfo>* ports);
