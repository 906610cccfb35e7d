// Section CLUSTER of VoKelMng.ini: whether this instance is one of several sharing their
// registries in etcd, and how it reaches etcd.
//
//   ETCD      comma-separated client URLs (http:// or https://); absent or empty: standalone
//   NAME      this instance's name, unique in the cluster (default: the host name)
//   PREFIX    where the cluster's keys live (default /vokelmng/)
//   LEASE     seconds of the leader's lease, 2 to 60 (default 5)
//   CAFILE, CERTFILE, KEYFILE   PEM files for https:// endpoints
#pragma once

#include <string>
#include <vector>

struct ClusterSettings {
  bool enabled = false;
  std::vector<std::string> endpoints;
  std::string name;
  std::string prefix = "/vokelmng/";
  int leaseSeconds = 5;
  std::string caFile;
  std::string certFile;
  std::string keyFile;
};

// Reads the section. False with `error` set (an err line's text naming the key and the value)
// when a value is bad: the service must then not start, rather than run alone.
bool LoadClusterSettings(ClusterSettings* settings, std::string* error);

// What a refusal names: the key, its value and why the value is bad.
struct ClusterSettingsFault {
  std::string key;
  std::string value;
  std::string why;
};

// The same from the texts as read (empty text: the key is absent); `fault`, when given, gets
// the parts of the refusal.
bool ParseClusterSettings(const std::string& etcd, const std::string& name,
                          const std::string& prefix, const std::string& lease,
                          const std::string& caFile, const std::string& certFile,
                          const std::string& keyFile, ClusterSettings* settings, std::string* error,
                          ClusterSettingsFault* fault = nullptr);

// The section's seven texts as read, in the order ParseClusterSettings takes them.
struct ClusterSettingsTexts {
  std::string etcd, name, prefix, lease, caFile, certFile, keyFile;
};
ClusterSettingsTexts ReadClusterSettingsTexts();
