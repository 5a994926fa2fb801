// The bridge's whole life: start-up, the polling cycle with its idle limit, and shutdown.
#pragma once

#include <cstdint>

constexpr double IdleTimeoutSeconds = 900.0;

// Where the loop takes its time from: the performance counter and Sleep in the program; a clock of
// their own in tests that let the idle limit pass in milliseconds.
struct FBridgeTime
{
    // Seconds.
    double (*Now)();
    void (*Sleep)(uint32_t milliseconds);
};

// Strictly greater: exactly 900 seconds of silence does not stop the bridge yet.
bool IsIdleLimitExceeded(double now, double lastActivity);

// The console entry point. Always returns 0, the process exit code.
int RunBridge();
// The same loop on the given clock.
int RunBridge(const FBridgeTime& time);
