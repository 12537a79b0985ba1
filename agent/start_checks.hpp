// What the machine must give the agent before it starts, each checked where
// the part would fail and refused with the cause and the fix: the store's
// folder, the serial devices, the HTTP port. `serve` checks them as it starts
// (a refusal is exit status 2, so the service does not restart in a loop);
// `serve --check` checks them and the TCP units and the broker too, without
// starting anything.
#pragma once

#include "base/usage_error.hpp"

#include <string>

namespace agent {

// A machine that cannot run the site file as it is: exit status 2.
class StartRefused : public ConfigError {
public:
    using ConfigError::ConfigError;
};

// The user the agent runs as, for the fixes ("qmhost").
std::string agent_user();

// The store's folder exists and the agent's user may create files in it;
// throws StartRefused naming the folder. Returns `store_path`.
const std::string& usable_store_folder(const std::string& store_path);

// The serial device opens for reading and writing: "" when it does, else why.
// A device the agent's user may not open throws StartRefused naming the
// device's group; a device not there now (an adapter unplugged) is the
// line's to retry, so it is only told.
std::string serial_device_problem(const std::string& device);

// A TCP connection to host:port within timeout_ms: "" when it opens, else why.
std::string tcp_problem(const std::string& host, int port, int timeout_ms);

// Throws StartRefused when the address and port are another listener's.
void check_http_port_free(const std::string& address, int port);

}  // namespace agent
