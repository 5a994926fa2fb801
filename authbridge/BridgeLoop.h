// The bridge's whole life: start-up, the polling cycle with its idle limit, and shutdown.
#pragma once

constexpr double IdleTimeoutSeconds = 900.0;

// Strictly greater: exactly 900 seconds of silence does not stop the bridge yet.
bool IsIdleLimitExceeded(double now, double lastActivity);

// The console entry point. Always returns 0, the process exit code.
int RunBridge();
