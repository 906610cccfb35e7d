// The configuration test (VoKelMng -t): judges VoKelMng.ini and syslog.ini of the profile
// directory and the registry files and kel.journal of the working directory with the parsers
// the service itself uses at start, without starting anything (no thread, socket or log line)
// and without writing any file.
#pragma once

#include <ostream>

// Writes one line per problem ("FILE: WHAT") and per warning ("FILE: warning: WHAT"), then a
// summary line, to `out`. A problem is what the service refuses, logs at err or cannot use; a
// warning is what it silently reads as something else (an unknown section, key or word).
// Returns the exit status: 0 without problems (warnings allowed), 1 otherwise.
int RunConfigCheck(std::ostream& out);
