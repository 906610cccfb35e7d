// The keepalive's fixed delays. The defaults are the service's; tests shorten them to run the
// same logic faster. A router's probe interval is its own (CPvData::interval).
#pragma once

struct KeepAliveTiming {
  int scanPeriodMs = 100;  // the timer thread's look at the router registry
  int proberPollMs = 100;  // how often an idle prober checks whether it must end
  int replyWaitMs = 1000;  // a probe's wait for its answer, counted from the send
};
