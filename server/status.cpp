// Texts of the server status codes, and the cleaning of texts sent to the host.
#include "server/status.h"

#include <array>
#include <utility>

namespace lumbra::server {

namespace {

constexpr std::array<std::pair<Status, std::string_view>, 22> kStatusTexts{{
    {Status::Ok, ""},
    {Status::BadMessage, "MENSAGEM INVALIDA"},
    {Status::BadCredentialBlock, "BLOCO DE CREDENCIAIS INVALIDO"},
    {Status::LoginRefused, "USUARIO OU SENHA INVALIDOS"},
    {Status::BadNewPassword, "NOVA SENHA INVALIDA"},
    {Status::NotLoggedIn, "SESSAO NAO IDENTIFICADA"},
    {Status::AlreadyLoggedIn, "SESSAO JA IDENTIFICADA"},
    {Status::DatabaseUnavailable, "BANCO DE DADOS INDISPONIVEL"},
    {Status::DatabaseUnreachable, "BANCO DE DADOS INACESSIVEL, TENTE DE NOVO"},
    {Status::MessageTooLong, "MENSAGEM EXCEDE O TAMANHO MAXIMO"},
    {Status::UnknownCommand, "COMANDO DESCONHECIDO"},
    {Status::MultipleStatements, "SELECT COM MAIS DE UM COMANDO"},
    {Status::BadBinaryInsert, "INSERCAO BINARIA INVALIDA"},
    {Status::TextAfterCommit, "TEXTO APOS COMMIT OU ROLLBACK"},
    {Status::NoOpenQuery, "NAO HA CONSULTA ABERTA"},
    {Status::BadContinuation, "NUMERO DE CONTINUACAO INVALIDO"},
    {Status::RowTooLong, "REGISTRO EXCEDE O TAMANHO DA MENSAGEM"},
    {Status::TooManyRows, "RESULTADO EXCEDE 99999999 REGISTROS"},
    {Status::UnknownSetting, "PARAMETRO DE CONFIGURACAO DESCONHECIDO"},
    {Status::BadSettingValue, "VALOR DE CONFIGURACAO INVALIDO"},
    {Status::BadParameter, "PARAMETRO INVALIDO"},
    {Status::DatabaseBusy, "BANCO DE DADOS OCUPADO POR OUTRA SESSAO"},
}};

}  // namespace

std::string_view statusText(Status status) {
  for (const auto& [code, text] : kStatusTexts) {
    if (code == status) return text;
  }
  return "ERRO";
}

int sqlStatus(int sqliteCode) { return static_cast<int>(Status::SqlBase) + (sqliteCode & 0xFF); }

std::string hostText(std::string_view text, bool upperCase) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (upperCase && byte >= 'a' && byte <= 'z') {
      out.push_back(static_cast<char>(byte - 'a' + 'A'));
    } else if (byte < 0x20 || byte > 0x7E) {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
    // "LBXEOB" inside a text would end the reply early on the client's side.
    if (out.size() >= 6 && out.compare(out.size() - 6, 6, "LBXEOB") == 0) {
      out.resize(out.size() - 3);
      out += "-EOB";
    }
  }
  return out;
}

}  // namespace lumbra::server
