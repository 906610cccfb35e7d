// The process-wide syslog client: one UDP datagram per message to DESTINATION:514, DESTINATION
// read from syslog.ini (section SYSLOG) at every connect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

// Severities.
constexpr int kLogEmerg = 0;
constexpr int kLogAlert = 1;
constexpr int kLogCrit = 2;
constexpr int kLogErr = 3;
constexpr int kLogWarning = 4;
constexpr int kLogNotice = 5;
constexpr int kLogInfo = 6;
constexpr int kLogDebug = 7;

// Severity number for a configuration name ("emerg" .. "debug"), -1 when unknown.
int SyslogSeverityFromName(const char* name);

// The DESTINATION text of syslog.ini as the client connects to it (network order); false for
// a text that is no IPv4 address: then no datagram goes out.
bool SyslogDestinationAddress(const char* text, uint32_t* address);

// Writes the datagram header for `local` time ("<30>Dec 06 19:57:43 pc01 VoKelMng: "; without a
// tag the header ends after the host name's space) into buf, cut to size - 1; returns its length.
size_t FormatSyslogHeader(char* buf, size_t size, int priority, const std::tm& local,
                          const char* host, const char* tag);

// Does nothing unless `facility` is an accepted facility value. Option 8 connects at once.
void SyslogOpen(const char* tag, int option, int facility);
// Non-zero level: store it and return the previous mask. 0: return the current mask.
int SyslogSetMask(int level);
// Formats and sends one message unless its severity is above the mask. Returns the send result.
int Syslog(int severity, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Closes the socket and clears the destination.
void SyslogClose();

// Where messages go besides (or instead of) the UDP client. Write is called on the logging
// thread, concurrently from several threads, with the severity and the message text (no
// header); it must not call Syslog.
class SyslogSink {
 public:
  virtual ~SyslogSink() = default;
  virtual void Write(int severity, std::string_view text) = 0;
};

// Replaces the UDP client by `sink` (tests capture in memory); nullptr restores the UDP client.
// Messages above the mask are dropped either way. The sink must outlive its installation.
void SyslogSetSink(SyslogSink* sink);
// Every message the UDP client sends is also written to `copy` (the local journal); nullptr
// removes it. The datagrams are unchanged.
void SyslogSetCopy(SyslogSink* copy);
