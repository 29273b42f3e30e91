// messages.cpp -- the CheckMessageTable, Windows-1252 texts byte for byte.
#include "validator/messages.h"

namespace tabrel {
namespace {

constexpr CheckMessage kCheckMessageTable[] = {
    {1, "Registro header ausente"},
    {2, "Sistema inv\xE1lido"},
    {3, "CRC do registro header inv\xE1lido"},
    {4, "CRC do registro inv\xE1lido"},
    {5, "Registro trailler da declara\xE7\xE3o ausente"},
    {6, "CRC do arquivo declara\xE7\xE3o inv\xE1lido"},
    {7, "Registro trailler do recibo ausente"},
    {8, "CRC do arquivo de recibo inv\xE1lido"},
    {9, "CRC do registro trailler do recibo inv\xE1lido"},
};
constexpr unsigned kCheckMessageCount = sizeof kCheckMessageTable / sizeof kCheckMessageTable[0];
static_assert(kCheckMessageCount == 9);

}  // namespace

const CheckMessage& checkMessage(unsigned position) noexcept {
  return kCheckMessageTable[position % kCheckMessageCount];
}

}  // namespace tabrel
