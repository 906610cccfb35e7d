#include "service/cluster/cluster_settings.h"

#include <unistd.h>

#include "platform/profile.h"
#include "platform/socket.h"

namespace {

constexpr const char* kFile = "VoKelMng.ini";
constexpr const char* kSection = "CLUSTER";

std::string Read(const char* key) {
  return platform::ReadProfileString(kFile, kSection, key, "", 4096);
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool Bad(std::string* error, ClusterSettingsFault* fault, const char* key, const std::string& value,
         const char* why) {
  if (fault != nullptr) *fault = {key, value, why};
  *error = std::string("The CLUSTER ") + key + " value \"" + value + "\" " + why +
           "; the service does not start in cluster mode.";
  return false;
}

// http://HOST:PORT or https://HOST:PORT, with no path, blank or comma.
bool IsEndpoint(const std::string& url) {
  size_t scheme = url.rfind("http://", 0) == 0 ? 7 : url.rfind("https://", 0) == 0 ? 8 : 0;
  if (scheme == 0 || url.size() <= scheme) return false;
  std::string rest = url.substr(scheme);
  if (rest.find_first_of(" \t,/?#@") != std::string::npos) return false;
  size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= rest.size()) return false;
  std::string port = rest.substr(colon + 1);
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  long number = std::stol(port);
  return number >= 1 && number <= 65535;
}

bool Readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

}  // namespace

bool ParseClusterSettings(const std::string& etcd, const std::string& name,
                          const std::string& prefix, const std::string& lease,
                          const std::string& caFile, const std::string& certFile,
                          const std::string& keyFile, ClusterSettings* settings, std::string* error,
                          ClusterSettingsFault* fault) {
  ClusterSettings out;
  std::string list = Trim(etcd);
  if (list.empty()) {
    *settings = out;
    return true;
  }
  out.enabled = true;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    std::string url =
        Trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (!IsEndpoint(url))
      return Bad(error, fault, "ETCD", etcd, "is not a list of http(s)://HOST:PORT");
    out.endpoints.push_back(url);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  out.name = Trim(name);
  if (out.name.empty()) out.name = platform::HostName();
  if (out.name.empty() || out.name.size() > 64 ||
      out.name.find_first_of(" \t/\"\\") != std::string::npos) {
    return Bad(error, fault, "NAME", name,
               "is not a name of 1 to 64 characters without blanks or /");
  }
  if (!Trim(prefix).empty()) out.prefix = Trim(prefix);
  if (out.prefix.front() != '/' || out.prefix.back() != '/' || out.prefix.size() < 2) {
    return Bad(error, fault, "PREFIX", prefix, "does not begin and end with /");
  }
  std::string leaseText = Trim(lease);
  if (!leaseText.empty()) {
    if (leaseText.size() > 2 || leaseText.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(leaseText) < 2 || std::stoi(leaseText) > 60) {
      return Bad(error, fault, "LEASE", lease, "is not a whole number of seconds from 2 to 60");
    }
    out.leaseSeconds = std::stoi(leaseText);
  }
  const std::pair<const char*, std::string> files[] = {
      {"CAFILE", Trim(caFile)}, {"CERTFILE", Trim(certFile)}, {"KEYFILE", Trim(keyFile)}};
  for (const auto& [key, path] : files) {
    if (!path.empty() && !Readable(path))
      return Bad(error, fault, key, path, "is not a readable file");
  }
  out.caFile = files[0].second;
  out.certFile = files[1].second;
  out.keyFile = files[2].second;
  if (out.certFile.empty() != out.keyFile.empty()) {
    return Bad(error, fault, out.certFile.empty() ? "CERTFILE" : "KEYFILE", "",
               "is missing while the other of CERTFILE and KEYFILE is set");
  }
  *settings = out;
  return true;
}

ClusterSettingsTexts ReadClusterSettingsTexts() {
  return {Read("ETCD"),   Read("NAME"),     Read("PREFIX"), Read("LEASE"),
          Read("CAFILE"), Read("CERTFILE"), Read("KEYFILE")};
}

bool LoadClusterSettings(ClusterSettings* settings, std::string* error) {
  ClusterSettingsTexts t = ReadClusterSettingsTexts();
  return ParseClusterSettings(t.etcd, t.name, t.prefix, t.lease, t.caFile, t.certFile, t.keyFile,
                              settings, error);
}
