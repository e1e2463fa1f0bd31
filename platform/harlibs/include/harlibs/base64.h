// Base64 with the standard alphabet and '=' padding (RFC 4648, section 4).
// Decoding accepts only canonical text: length a multiple of 4, alphabet characters only (no
// whitespace), padding only at the end (at most two), and zero unused bits in the last symbol.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of the buffer Base64_Encode needs for srcLen bytes, including the terminating NUL.
size_t Base64_EncodedLength(size_t srcLen);
// Encodes src into dst and NUL-terminates it. False when dstSize is too small.
// *outLen (when not null) receives the text length without the NUL.
bool Base64_Encode(const uint8_t* src, size_t srcLen, char* dst, size_t dstSize, size_t* outLen);
// Upper bound of the decoded size of srcLen characters of text.
size_t Base64_DecodedLength(const char* src, size_t srcLen);
// Decodes canonical text into dst. False for non-canonical text or a too-small dst; dst
// contents are unspecified then. *outLen (when not null) receives the decoded length.
bool Base64_Decode(const char* src, size_t srcLen, uint8_t* dst, size_t dstSize, size_t* outLen);
