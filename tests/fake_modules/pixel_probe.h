// What the test pixel filter "Probe" reads from the host ("Pixel Probe
// Script") and records there.
#pragma once

#include <cstdint>

struct ProbeScript {
    const char* init_error;      // returned by init
    int32_t failing_frame;       // new_time of this frame returns new_time_error
    const char* new_time_error;
    int32_t events[32];          // PROBE_INIT, the frame of each new_time, PROBE_CLEANUP
    int32_t event_count;
};

constexpr int32_t PROBE_INIT = 1000;
constexpr int32_t PROBE_CLEANUP = -1000;
