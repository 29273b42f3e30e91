// A session's settings: SET and GETSET.
#include "protocol/wire.h"
#include "server/login.h"
#include "server/session.h"
#include "server/session_text.h"

namespace lumbra::server {

std::string SessionLogic::settingValue(const std::string& name) const {
  if (name == "MESSAGE_LENGTH" || name == "ML") return std::to_string(messageLength_);
  if (name == "BUSY_TIMEOUT") return std::to_string(busyTimeoutMs_);
  if (name == "VERSION") return kServerVersion;
  if (name == "USER") return user_;
  if (name == "CLIENTID") return dottedAddress(clientAddress_);
  if (name == "SERVERINFO") return serverInformation(clientAddress_, messageLength_, backend_.version());
  if (name == "TRANSACTION") return inTransaction_ ? "ABERTA" : "FECHADA";
  if (name == "UPDATES") return std::to_string(updateCount_);
  return {};
}

SessionLogic::Outcome SessionLogic::getset(std::string_view text) {
  std::string name = upper(trim(text));
  if (name.empty()) {
    std::string all;
    for (const char* each :
         {"MESSAGE_LENGTH", "BUSY_TIMEOUT", "VERSION", "USER", "CLIENTID", "TRANSACTION", "UPDATES"}) {
      if (!all.empty()) all += ';';
      all += std::string(each) + "=" + settingValue(each);
    }
    return reply(0, all);
  }
  std::string value = settingValue(name);
  if (value.empty() && name != "USER") return refuse(Status::UnknownSetting, name);
  return reply(0, value);
}

SessionLogic::Outcome SessionLogic::set(std::string_view text) {
  text = trim(text);
  std::size_t split = text.find_first_of("= ");
  std::string name = upper(trim(text.substr(0, split)));
  std::string_view valueText = split == std::string_view::npos ? std::string_view{} : text.substr(split + 1);
  valueText = trim(valueText);
  if (!valueText.empty() && valueText.front() == '=') valueText = trim(valueText.substr(1));
  long long value = 0;
  if (name == "MESSAGE_LENGTH" || name == "ML") {
    if (!readNumber(valueText, value) || value < kMinMessageLength || value > kMaxMessageLength) {
      return refuse(Status::BadSettingValue, "MESSAGE_LENGTH DE " + std::to_string(kMinMessageLength) +
                                                 " A " + std::to_string(kMaxMessageLength));
    }
    // The reply still travels within the old size; the client resizes on ",ML=".
    Outcome outcome = reply(0, std::string(kKeyMessageLength) + std::to_string(value));
    messageLength_ = static_cast<int>(value);
    replyLimit_ = static_cast<std::size_t>(value) - 1;
    return outcome;
  }
  if (name == "BUSY_TIMEOUT") {
    if (!readNumber(valueText, value) || value > 600000) {
      return refuse(Status::BadSettingValue, "BUSY_TIMEOUT DE 0 A 600000");
    }
    busyTimeoutMs_ = static_cast<int>(value);
    return reply(0, "BUSY_TIMEOUT=" + std::to_string(value));
  }
  return refuse(Status::UnknownSetting, name);
}

}  // namespace lumbra::server
