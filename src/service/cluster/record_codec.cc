#include "service/cluster/record_codec.h"

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "common/address_util.h"
#include "service/registry/kel_data.h"
#include "service/registry/pc_csv.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_csv.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_csv.h"
#include "service/registry/quarantine_csv.h"
#include "service/registry/quarantine_data.h"

namespace {

using json = nlohmann::json;

// The JSON field names of each family, in the order of the family's file line.
const std::vector<const char*>& FieldNames(CommandFamily family) {
  static const std::vector<const char*> kKel = {"target", "source", "mac"};
  static const std::vector<const char*> kPv = {"address", "port", "user", "password"};
  static const std::vector<const char*> kRoute = {"router", "dev", "network", "netmask"};
  static const std::vector<const char*> kPc = {"mac", "source", "network", "netmask"};
  static const std::vector<const char*> kServer = {"source", "protocol", "port"};
  static const std::vector<const char*> kNone;
  switch (family) {
    case CommandFamily::kKel:
      return kKel;
    case CommandFamily::kPv:
      return kPv;
    case CommandFamily::kPvroute:
      return kRoute;
    case CommandFamily::kPc:
      return kPc;
    case CommandFamily::kQuarantine:
      return kServer;
    default:
      return kNone;
  }
}

std::vector<std::string> Texts(CommandFamily family, const CKelRecord& record,
                               const std::string& routerText) {
  switch (family) {
    case CommandFamily::kKel: {
      const auto& e = static_cast<const CKelData&>(record);
      return {e.target == kKelTargetDrop ? "drop" : "accept", e.sourceText, e.macText};
    }
    case CommandFamily::kPv: {
      const auto& r = static_cast<const CPvData&>(record);
      return {r.addressText, r.portText, r.user, r.password};
    }
    case CommandFamily::kPvroute: {
      const auto& r = static_cast<const CPvrouteData&>(record);
      return {routerText, r.devText, r.networkText, r.netmaskText};
    }
    case CommandFamily::kPc: {
      const auto& p = static_cast<const CPcData&>(record);
      return {p.macText, p.sourceText, p.networkText, p.netmaskText};
    }
    case CommandFamily::kQuarantine: {
      const auto& q = static_cast<const CQuarantineData&>(record);
      return {q.sourceText, q.protocolText, q.portText};
    }
    default:
      return {};
  }
}

bool DecodeKel(const std::vector<std::string>& f, CKelData* entry) {
  if (f[0] == "accept") {
    entry->target = kKelTargetAccept;
  } else if (f[0] == "drop") {
    entry->target = kKelTargetDrop;
  } else {
    return false;
  }
  entry->sourceText = f[1];
  if (!IsIpAddress(f[1].c_str(), entry->source)) return false;
  entry->macText = f[2];
  return f[2].empty() || ParseMacAddress(f[2].c_str(), entry->mac) == 0;
}

template <class T>
std::unique_ptr<CKelRecord> Made(bool (*parse)(const std::vector<std::string>&, T*),
                                 const std::vector<std::string>& fields) {
  auto record = std::make_unique<T>();
  if (!parse(fields, record.get())) return nullptr;
  return record;
}

}  // namespace

std::string DottedAddress(const uint8_t* b) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

std::string MacText(const uint8_t* b) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4],
                b[5]);
  return text;
}

std::string FamilyPrefix(const std::string& prefix, CommandFamily family) {
  return prefix + CommandFamilyName(family) + "/";
}

CommandFamily FamilyOfKey(const std::string& prefix, const std::string& key) {
  if (key.compare(0, prefix.size(), prefix) != 0) return CommandFamily::kNone;
  for (CommandFamily f : {CommandFamily::kKel, CommandFamily::kPv, CommandFamily::kPvroute,
                          CommandFamily::kPc, CommandFamily::kQuarantine}) {
    std::string name = std::string(CommandFamilyName(f)) + "/";
    if (key.compare(prefix.size(), name.size(), name) == 0) return f;
  }
  return CommandFamily::kNone;
}

std::string RecordIdentity(CommandFamily family, const CKelRecord& record, const uint8_t* router) {
  switch (family) {
    case CommandFamily::kKel: {
      const auto& e = static_cast<const CKelData&>(record);
      return std::string(e.target == kKelTargetDrop ? "drop" : "accept") + "/" +
             DottedAddress(e.source) + "/" + (e.macText.empty() ? "-" : MacText(e.mac));
    }
    case CommandFamily::kPv:
      return DottedAddress(static_cast<const CPvData&>(record).address.data());
    case CommandFamily::kPvroute: {
      const auto& r = static_cast<const CPvrouteData&>(record);
      uint8_t masked[4];
      for (int i = 0; i < 4; ++i) masked[i] = r.network[i] & r.netmask[i];
      return DottedAddress(router) + "/" + DottedAddress(masked) + "/" + r.devText;
    }
    case CommandFamily::kPc: {
      const auto& p = static_cast<const CPcData&>(record);
      return (p.HasMac() ? MacText(p.mac.data()) : "-") + "/" +
             (p.HasSource() ? DottedAddress(p.source.data()) : "-") + "/" +
             (p.HasNetwork() ? DottedAddress(p.network.data()) : "-") + "/" +
             (p.netmaskText.empty() ? "-" : DottedAddress(p.netmask.data()));
    }
    case CommandFamily::kQuarantine: {
      const auto& q = static_cast<const CQuarantineData&>(record);
      return DottedAddress(q.source.data()) + "/" + q.protocolText + "/" + q.portText;
    }
    default:
      return "";
  }
}

std::string EncodeRecord(CommandFamily family, const CKelRecord& record,
                         const std::string& routerText, int64_t order, const std::string& request) {
  json value = json::object();
  const auto& names = FieldNames(family);
  std::vector<std::string> texts = Texts(family, record, routerText);
  for (size_t i = 0; i < names.size() && i < texts.size(); ++i) value[names[i]] = texts[i];
  if (order != 0) value["order"] = order;
  if (!request.empty()) value["request"] = request;
  return value.dump();
}

bool WrittenBy(const std::string& value, const std::string& request) {
  json parsed = json::parse(value, nullptr, false);
  if (!parsed.is_object()) return false;
  auto found = parsed.find("request");
  return found != parsed.end() && found->is_string() && *found == request;
}

bool DecodeRecord(CommandFamily family, const std::string& text, DecodedRecord* out,
                  std::string* error) {
  json value = json::parse(text, nullptr, false);
  if (value.is_discarded() || !value.is_object()) {
    *error = "not a JSON object";
    return false;
  }
  const auto& names = FieldNames(family);
  std::vector<std::string> fields;
  for (const char* name : names) {
    auto it = value.find(name);
    if (it != value.end() && !it->is_string()) {
      *error = std::string("field ") + name + " is not text";
      return false;
    }
    fields.push_back(it == value.end() ? std::string() : it->get<std::string>());
  }
  auto order = value.find("order");
  out->order = order != value.end() && order->is_number_integer() ? order->get<int64_t>() : 0;
  switch (family) {
    case CommandFamily::kKel:
      out->record = Made(DecodeKel, fields);
      break;
    case CommandFamily::kPv:
      out->record = Made(PvFromCsvFields, fields);
      break;
    case CommandFamily::kPvroute: {
      auto route = std::make_unique<CPvrouteData>();
      std::string routerText;
      if (PvrouteFromCsvFields(fields, &routerText, &out->router, route.get()) &&
          !routerText.empty() && !route->networkText.empty()) {
        out->record = std::move(route);
      }
      break;
    }
    case CommandFamily::kPc:
      out->record = Made(PcFromCsvFields, fields);
      if (out->record && !static_cast<CPcData&>(*out->record).HasValidShape()) out->record.reset();
      break;
    case CommandFamily::kQuarantine:
      out->record = Made(QuarantineFromCsvFields, fields);
      break;
    default:
      break;
  }
  if (!out->record) *error = "a field does not parse";
  return out->record != nullptr;
}
