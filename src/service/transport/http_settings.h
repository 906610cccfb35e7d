// The senders' one setting: SENDERS of section HTTP in VoKelMng.ini, how many routers the HTTP
// client serves at once (a whole number 1..64). Absent or empty: 5, as the service always had.
#pragma once

#include <string>

constexpr int kDefaultHttpSenders = 5;
constexpr int kMaxHttpSenders = 64;

// Parses a whole number 1..kMaxHttpSenders written in decimal digits alone. false for anything
// else (a sign, blanks, other characters, 0, more than kMaxHttpSenders).
bool ParseHttpSenders(const std::string& text, int* out);

// Reads the setting. A value that does not parse is logged at err with the value and gives the
// default.
int LoadHttpSenders();
