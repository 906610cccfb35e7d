// IPv4, netmask and MAC address validation and conversion.
#pragma once

#include <cstdint>

// 1 when `text` is a dotted quad (bytes stored first octet first), else 0.
int IsIpAddress(const char* text, uint8_t bytes[4]);
// Prefix length of a contiguous netmask text, -1 when not contiguous.
int NetmaskToPrefix(const char* text);
// 0 with six bytes stored, -1 on failure. Accepts "xx:xx:..", "xx-xx-.." and "xxxxxxxxxxxx".
int ParseMacAddress(const char* text, uint8_t bytes[6]);
