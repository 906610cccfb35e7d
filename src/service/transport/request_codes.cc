#include "service/transport/request_codes.h"

const char* LineClassName(LineClass lineClass) {
  switch (lineClass) {
    case LineClass::kClient:
      return "client";
    case LineClass::kQuarantine:
      return "quarantine";
  }
  return nullptr;
}

const char* RequestOpcodeName(RequestOpcode opcode) {
  switch (opcode) {
    case RequestOpcode::kSet:
      return "set";
    case RequestOpcode::kReset:
      return "reset";
    case RequestOpcode::kGet:
      return "get";
  }
  return nullptr;
}
