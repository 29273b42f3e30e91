// The credential block of the login message: permutation, scrambling and its inverse.
//
// What the server may rely on: credentialPermutation() is the one permutation
// both sides use (entry i names the block position, 1..109, of intermediate
// character i). The block is 110 characters: character 0 is '0'; the others
// are the 11 identification characters as given and 98 upper-case hexadecimal
// digits (two per credential character, its UpperEbcdicTable code), permuted.
// unscrambleCredentials gives back the 60-character area: identification as
// sent, credentials as the upper-cased ASCII that went in (blank-padded).
#pragma once

#include <array>
#include <cstddef>

namespace lumbra {

inline constexpr std::size_t kPermutationLength = 109;

// The permutation, built on first use from a fixed seed; every position 1..109 once.
const std::array<unsigned char, kPermutationLength>& credentialPermutation();

// `area`: 60 characters (identification 0..10, first credential 11..34, second
// credential 35..59, blank-padded). Writes the 110-character block and a
// terminator into `block` (111 bytes).
void scrambleCredentials(const char* area, char* block);

// `block`: `length` characters as received (must be 110). Writes the 60-character
// area (no terminator) into `area`. False when the block is malformed: wrong
// length, character 0 not '0', a digit that is not upper-case hexadecimal, or
// an EBCDIC code that no credential character produces.
bool unscrambleCredentials(const char* block, std::size_t length, char* area);

}  // namespace lumbra
