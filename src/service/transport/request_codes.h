// The two codes of a router request's body: the class of access list it addresses ("class=")
// and what it asks ("opcode="), each with the word that carries it.
#pragma once

#include <cstdint>

// The router's two access lists: the pc lines of the PCs' traffic to the quarantine servers,
// and the kel lines of the access entries.
enum class LineClass : int32_t { kClient = 1, kQuarantine = 2 };

// "client", "quarantine"; null for any other value.
const char* LineClassName(LineClass lineClass);

// set: change the list by the lines carried; reset: empty the list; get: read it.
enum class RequestOpcode : int32_t { kSet = 1, kReset = 2, kGet = 3 };

// "set", "reset", "get"; null for any other value.
const char* RequestOpcodeName(RequestOpcode opcode);
