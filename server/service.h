// The service manager's side of a start and a stop: readiness told through sd_notify.
#pragma once

#include <string>

namespace lumbra::server {

// Tells a service manager that waits for it (Type=notify: NOTIFY_SOCKET set)
// that the server accepts connections, with `status` as its status line.
// Nothing when no manager waits.
void notifyReady(const std::string& status);

}  // namespace lumbra::server
