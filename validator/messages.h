// messages.h -- the CheckMessageTable: error numbers and texts of the error log.
#pragma once

namespace tabrel {

struct CheckMessage {
  int number;        // shown in the log line
  const char* text;  // Windows-1252
};

// Positions in the CheckMessageTable (never renumbered).
enum CheckPosition : unsigned {
  kHeaderMissing = 0,              // 01
  kSystemInvalid = 1,              // 02
  kHeaderCrcInvalid = 2,           // 03
  kRecordCrcInvalid = 3,           // 04
  kDeclarationTrailerMissing = 4,  // 05
  kDeclarationCrcInvalid = 5,      // 06
  kReceiptTrailerMissing = 6,      // 07
  kReceiptCrcInvalid = 7,          // 08
  kReceiptTrailerCrcInvalid = 8,   // 09
};

// The entry at `position` (taken modulo 9).
const CheckMessage& checkMessage(unsigned position) noexcept;

}  // namespace tabrel
