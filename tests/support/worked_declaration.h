// worked_declaration.h -- the worked declaration-and-receipt file: four sealed
// records whose CRCs can be checked by hand, valid for the name abcdefgh.xyz
// (name field ABCDEFGH.XYZ) with the system tag SYS at offset 3 and the
// trailer tags DT and RT.
//
//   SYS4186146210 3993786283  header: the declaration CRC 4186146210; its own
//                             CRC is the CRC-32 of ABCDEFGH.XYZSYS4186146210
//   DT 3117026579             declaration trailer; 4186146210 is the CRC-32 of
//                             DT3117026579
//   R1 2559192339             a receipt record
//   RT2876047517 3217099436   receipt trailer: the CRC-32 of
//                             DT3117026579R12559192339, then its own CRC
#pragma once

#include <string_view>

namespace suite_test::worked {

inline constexpr std::string_view kFileName = "abcdefgh.xyz";
inline constexpr std::string_view kNameField = "ABCDEFGH.XYZ";
inline constexpr std::string_view kSystemTag = "SYS";
inline constexpr int kDeclaredCrcOffset = 3;
inline constexpr std::string_view kDeclarationTrailerTag = "DT";
inline constexpr std::string_view kReceiptTrailerTag = "RT";

inline constexpr std::string_view kHeader = "SYS41861462103993786283\r\n";
inline constexpr std::string_view kDeclarationTrailer = "DT3117026579\r\n";
inline constexpr std::string_view kReceiptRecord = "R12559192339\r\n";
inline constexpr std::string_view kReceiptTrailer = "RT28760475173217099436\r\n";
inline constexpr std::string_view kFile =
    "SYS41861462103993786283\r\nDT3117026579\r\nR12559192339\r\nRT28760475173217099436\r\n";

// What a run over it gives: both CRC buffers, and the cleaned copy.
inline constexpr std::string_view kDeclarationCrc = "4186146210";
inline constexpr std::string_view kCleanCopy = "SYS4186146210\r\nDT\r\n";

}  // namespace suite_test::worked
