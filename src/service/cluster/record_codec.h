// How registry records are kept in etcd: one key per record,
//   PREFIX + FAMILY + "/" + IDENTITY
// where FAMILY is the command family's word ("kel", "pv", "pvroute", "pc", "quarantine") and
// IDENTITY is built from the parsed fields that tell two records apart (dotted addresses,
// upper-case MACs), so the same record always has the same key. The value is a JSON object of
// the record's fields as typed, e.g. {"address":"10.0.0.1","port":"880","user":"admin",
// "password":"pomvy"}, plus "order" for the records of one load, which share a revision.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "service/base/command_handler.h"
#include "service/registry/kel_list.h"

// PREFIX + FAMILY + "/".
std::string FamilyPrefix(const std::string& prefix, CommandFamily family);

// The family a record key belongs to (kNone for any other key).
CommandFamily FamilyOfKey(const std::string& prefix, const std::string& key);

// The identity of a record. `router`: the router's four address bytes for a route.
std::string RecordIdentity(CommandFamily family, const CKelRecord& record, const uint8_t* router);

// The value of a record. `routerText`: the router's address as typed, for a route. `request`,
// when not empty, names the command that wrote it, so that a command whose first answer was
// lost knows its own record when it tries again.
std::string EncodeRecord(CommandFamily family, const CKelRecord& record,
                         const std::string& routerText, int64_t order = 0,
                         const std::string& request = "");

// Whether `value` was written by `request`.
bool WrittenBy(const std::string& value, const std::string& request);

struct DecodedRecord {
  std::unique_ptr<CKelRecord> record;  // a CKelData, CPvData, ... of the family
  std::array<uint8_t, 4> router{};     // a route's router
  int64_t order = 0;
};

// The record a value holds; false with `error` set when it does not parse.
bool DecodeRecord(CommandFamily family, const std::string& value, DecodedRecord* out,
                  std::string* error);

// Dotted text of four address bytes, and upper-case text of six MAC bytes.
std::string DottedAddress(const uint8_t* bytes);
std::string MacText(const uint8_t* bytes);
