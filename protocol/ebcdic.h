// ASCII to EBCDIC (code page 037 with this system's deviations) and back.
//
// What the server may rely on: AsciiToEbcdicTable maps every byte the client puts
// into a binary-insert prefix; UpperEbcdicTable maps the credential characters
// before they are written in hexadecimal. ebcdicToAscii inverts the full table:
// 0x40 reads back as a blank; a code outside the table's image gives -1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace lumbra {

// 128 entries, ASCII 0x00..0x7F. Code page 037 for the blank, punctuation,
// digits and both letter cases; 0x40 for the control codes, 0x7F and the ten
// characters [ \ ] ^ _ ` { | } ~. Bytes 0x80..0xFF have no entry: the client
// converts them to 0x40 as well.
extern const std::array<unsigned char, 128> AsciiToEbcdicTable;

// 128 entries: code page 037 for 0x20..0x5A, 0x40 for every other code
// (lower-case letters included). Used for the credential block only.
extern const std::array<unsigned char, 128> UpperEbcdicTable;

// One byte through AsciiToEbcdicTable; bytes from 0x80 up give 0x40.
unsigned char asciiToEbcdic(unsigned char ascii);

// The ASCII character whose AsciiToEbcdicTable entry is `ebcdic` (0x40 gives a
// blank), or -1 when no ASCII character maps to it.
int ebcdicToAscii(unsigned char ebcdic);

// Converts `length` EBCDIC bytes to ASCII into `out` (no terminator written).
// False, with `out` partly written, when a byte has no ASCII counterpart.
bool ebcdicToAsciiText(const unsigned char* in, std::size_t length, char* out);

}  // namespace lumbra
