// The run loop: syslog set-up, the controller's life, and the stop control (SIGTERM/SIGINT).
#pragma once

// Runs the controller until it ends or a stop signal arrives; returns the exit status (0).
// REQUIRES: platform::BlockServiceSignals() was called before any thread was created.
int RunLoop();

// The service entry: reports to the service manager around RunLoop.
int RunAsService();
