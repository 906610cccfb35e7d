// What the access-list processing needs from the controller: the stop flag, the HTTP client to
// wake and the two router-event queues.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "service/registry/kel_list.h"

class CKelHttpClient;

struct AclEnvironment {
  const std::atomic<int32_t>* stopRequested = nullptr;  // the service is stopping when nonzero
  CKelHttpClient* httpClient = nullptr;                 // null when it failed to start
  CKelList* startQueue = nullptr;                       // router-up queue (CKeepAliveData)
  CKelList* stopQueue = nullptr;                        // router-down queue (CKeepAliveData)
  // Optional: when set, called in place of httpClient->EventSend() (nonzero on success), so
  // that the requests stay in the store for whoever counts them. The controller leaves it empty.
  std::function<int()> eventSend;

  bool Stopping() const { return stopRequested != nullptr && stopRequested->load() != 0; }
};
