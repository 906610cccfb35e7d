#include "clients/client_args.h"

#include <cstring>
#include <string>

#include "common/address_util.h"
#include "common/text_util.h"

namespace clients {
namespace {

const WordRule kDstRule = {"--dst", WordKind::kValue, -1, Check::kIpAddress};
const WordRule kDportRule = {"--dport", WordKind::kValue, -1, Check::kPort};
const WordRule kTlsRule = {"--tls", WordKind::kStandalone, -1, Check::kNone};
const WordRule kCertRule = {"--cert", WordKind::kValue, -1, Check::kFile};
const WordRule kKeyRule = {"--key", WordKind::kValue, -1, Check::kFile};
const WordRule kCaCertRule = {"--cacert", WordKind::kValue, -1, Check::kFile};
const char* const kProtocols[] = {"tcp", "udp"};
const WordRule* const kCommonRules[] = {&kDstRule,  &kDportRule, &kTlsRule,
                                        &kCertRule, &kKeyRule,   &kCaCertRule};

bool Passes(Check check, const char* value) {
  uint8_t scratch[6];
  switch (check) {
    case Check::kNone:
      return true;
    case Check::kIpAddress:
      return IsIpAddress(value, scratch) == 1;
    case Check::kPort:
      return ParsePortNumber(value, 1, 65535) != 0;
    case Check::kMacAddress:
      return ParseMacAddress(value, scratch) == 0;
    case Check::kProtocol:
      for (const char* protocol : kProtocols) {
        if (std::strcmp(value, protocol) == 0) return true;
      }
      return false;
    case Check::kFile:
      return true;
  }
  return false;
}

const char* KindName(const WordRule& rule) {
  switch (rule.kind) {
    case WordKind::kOperation:
    case WordKind::kOperationIfMore:
      return "operation";
    case WordKind::kOperationTarget:
      return "operation-value";
    case WordKind::kStandalone:
      return rule.word[0] == '-' ? "flag" : "word";
    case WordKind::kValue:
      return "value";
  }
  return "word";
}

std::string HintOf(const WordRule& rule) {
  if (rule.kind != WordKind::kOperationTarget && rule.kind != WordKind::kValue) return "-";
  switch (rule.check) {
    case Check::kIpAddress:
      return "address";
    case Check::kPort:
      return "port";
    case Check::kMacAddress:
      return "mac";
    case Check::kFile:
      return "file";
    case Check::kProtocol: {
      std::string choices;
      for (const char* protocol : kProtocols)
        choices += (choices.empty() ? "" : " ") + std::string(protocol);
      return choices;
    }
    case Check::kNone:
      break;
  }
  return "text";
}

const WordRule* FindRule(const WordRule* rules, const char* word) {
  for (const WordRule* common : kCommonRules) {
    if (std::strcmp(word, common->word) == 0) return common;
  }
  for (const WordRule* rule = rules; rule->word != nullptr; ++rule) {
    if (std::strcmp(word, rule->word) == 0) return rule;
  }
  return nullptr;
}

// Keeps a checked value where its rule says.
void Store(const WordRule* rule, const char* value, ParsedArgs* out) {
  if (rule == &kDstRule) {
    out->dst_text = value;
    IsIpAddress(value, out->dst);
  } else if (rule == &kDportRule) {
    out->dport_text = value;
    out->dport = ParsePortNumber(value, 1, 65535);
  } else if (rule == &kTlsRule) {
    out->tls = true;
  } else if (rule == &kCertRule) {
    out->cert = value;
  } else if (rule == &kKeyRule) {
    out->key = value;
  } else if (rule == &kCaCertRule) {
    out->cacert = value;
  } else {
    out->fields[rule->field] = value;
  }
}

}  // namespace

uint32_t ParsedArgs::DstAddress() const {
  uint32_t address;
  std::memcpy(&address, dst, sizeof address);  // first octet first is network order
  return address;
}

int ParseArgs(const WordRule* rules, int count, const char* const* words, ParsedArgs* out) {
  for (int i = 0; i < count; ++i) {
    const WordRule* rule = FindRule(rules, words[i]);
    if (rule == nullptr) return -1;
    bool has_next = i + 1 < count;
    switch (rule->kind) {
      case WordKind::kOperation:
        out->operation = rule->word;
        break;
      case WordKind::kOperationIfMore:
        if (!has_next) return -1;
        out->operation = rule->word;
        break;
      case WordKind::kStandalone:
        Store(rule, rule->word, out);
        break;
      case WordKind::kOperationTarget:
      case WordKind::kValue: {
        const char* value = has_next ? words[i + 1] : nullptr;
        if (value == nullptr || value[0] == '\0' || !Passes(rule->check, value)) return -1;
        if (rule->kind == WordKind::kOperationTarget) out->operation = rule->word;
        Store(rule, value, out);
        ++i;
        break;
      }
    }
  }
  return 0;
}

void PrintCompletionTable(const WordRule* rules, FILE* out) {
  auto print = [out](const WordRule& rule) {
    std::fprintf(out, "%s\t%s\t%s\n", rule.word, KindName(rule), HintOf(rule).c_str());
  };
  for (const WordRule* rule = rules; rule->word != nullptr; ++rule) print(*rule);
  for (const WordRule* common : kCommonRules) print(*common);
}

}  // namespace clients
