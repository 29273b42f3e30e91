// sd_notify from libsystemd: READY=1 once the server accepts connections.
#include "server/service.h"

#include <systemd/sd-daemon.h>

namespace lumbra::server {

void notifyReady(const std::string& status) {
  std::string message = "READY=1\nSTATUS=" + status;
  sd_notify(0, message.c_str());
}

}  // namespace lumbra::server
