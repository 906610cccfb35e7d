// The command families of the command port, in the order a first word is looked up.
#pragma once

#include <cstddef>

#include "service/command/command_dispatch.h"

extern const CommandRow kCommandTable[];
extern const size_t kCommandTableRows;
