// The status texts of lumbra32, byte for byte, and the function that writes them.
#include "client/status.h"

#include <cstdio>
#include <cstring>

#include "client/lumbra32.h"
#include "client/message.h"
#include "protocol/commands.h"
#include "platform/net.h"

namespace lumbra {
namespace {

constexpr const char* kStatusMessageTable[16] = {
    "LBX600 - ",
    "LBX601 - ERRO NO ENVIO DA MENSAGEM (%d)",
    "LBX602 - ERRO NO RECEBIMENTO DA MENSAGEM (%d)",
    "LBX603 - ESTACAO SEM CONECTIVIDADE (%d)",
    "SS0604 - IDENTIFICACAO DO SERVIDOR INVALIDA",
    "LBX605 - EXCESSO DE CONEXOES TCP/IP (%d)",
    "LBX606 - TAMANHO DO COMANDO EXCEDIDO",
    "LBX607 - FALHA NA CONEXAO (%d)",
    "LBX608 - SERVIDOR LUMBRA INATIVO",
    "LBX609 - SEQUENCIA DE ATUALIZACOES SEM COMMIT",
    "LBX610 - NAO HA REGISTROS SELECIONADOS PARA LEITURA",
    "LBX611 - REGISTRO INVALIDO",
    "LBX612 - COMANDO INVALIDO (%s)",
    "LBX613 - CONEXAO NAO INICIALIZADA",
    "LBX614 - PARAMETROS INVALIDOS",
    "LBX615 - MEMORIA INSUFICIENTE",
};

constexpr std::size_t kLongestStatusText = 80;

}  // namespace

const char* statusText(std::int32_t status) {
  const std::int32_t index = -status;
  return index >= 0 && index < 16 ? kStatusMessageTable[index] : kStatusMessageTable[0];
}

std::int32_t reportStatus(std::int32_t status, char* message, const char* word) {
  const char* text = statusText(status);
  if (message == nullptr) return status;
  char filled[kLongestStatusText];
  switch (status) {
    case LB_SEND_FAILED:
    case LB_RECEIVE_FAILED:
    case LB_NO_CONNECTIVITY:
    case LB_TOO_MANY_CONNECTIONS:
    case LB_CONNECT_FAILED:
      std::snprintf(filled, sizeof filled, text, platform::netCalls().lastError());
      text = filled;
      break;
    case LB_INVALID_COMMAND: {
      // The word is cut where the client cuts command words.
      char shortWord[kCommandWordLength + 1] = {};
      std::strncpy(shortWord, word, kCommandWordLength);
      std::snprintf(filled, sizeof filled, text, shortWord);
      text = filled;
    } break;
    default:
      break;
  }
  writeMessage(message, kLeastMessageRoom, text);
  return status;
}

}  // namespace lumbra
