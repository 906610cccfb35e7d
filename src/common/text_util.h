// Text utilities over NUL-terminated 8-bit texts. No state; no pointer kept after return.
// "none" results are nullptr.
#pragma once

#include <cstddef>
#include <cstdint>

// Fold ASCII letters in place; return the position of the terminator.
char* StrLower(char* text);
char* StrUpper(char* text);
// Case-insensitive comparisons: <0, 0, >0. -1 when a scratch copy cannot be made.
int StrCaseCompareN(const char* a, const char* b, size_t n);
int StrCaseCompare(const char* a, const char* b);
// First position of `word` in `text` without regard to case, or nullptr.
const char* StrCaseFind(const char* text, const char* word);

// First character not in `set`, nullptr when only set characters (or empty).
char* StrSkipSet(char* text, const char* set);
const char* StrSkipSet(const char* text, const char* set);
// First character in `set`, or nullptr.
char* StrFindSet(char* text, const char* set);
const char* StrFindSet(const char* text, const char* set);
// Terminates `text` at its first set character and returns the position after it; nullptr (text
// untouched) when there is none.
char* StrSplitAt(char* text, const char* set);
// Overwrites trailing set characters with NUL; returns text, nullptr when text or set is null.
char* StrTrimRight(char* text, const char* set);
// CSV tokenizer: stores the token in *token and returns the continuation, or nullptr (see the
// .cc for the exact steps).
char* StrNextToken(char* text, const char* skip_set, const char* delimiter_set, char** token);

// Decimal and hexadecimal readers over at most n characters, stopping at the first non-digit.
// A digit string whose value does not fit the result type reads as that type's largest value
// and sets *overflow (when given) to true; otherwise *overflow is set to false. Leading zeros
// never overflow.
uint16_t ParseDecimal16(const char* text, size_t n, bool* overflow = nullptr);
uint32_t ParseDecimal32(const char* text, size_t n, bool* overflow = nullptr);
uint64_t ParseDecimal64(const char* text, size_t n, bool* overflow = nullptr);
uint8_t ParseHex8(const char* text, size_t n, bool* overflow = nullptr);
uint16_t ParseHex16(const char* text, size_t n, bool* overflow = nullptr);
uint32_t ParseHex32(const char* text, size_t n, bool* overflow = nullptr);
uint64_t ParseHex64(const char* text, size_t n, bool* overflow = nullptr);
// Port number in [min, max], or 0 when invalid (see .cc for the rules).
uint16_t ParsePortNumber(const char* text, uint16_t min, uint16_t max);
