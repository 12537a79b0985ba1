// The stand-in host's Modbus master: libmodbus over RTU or TCP.
#pragma once

#include "host/link.hpp"
#include "host/link_settings.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

std::shared_ptr<ModbusLink> make_libmodbus_link(const LinkSettings& settings);

// Several units on one line (an RS-485 bus, or a TCP gateway to one): one
// link per slave id, all over one open line, opened and locked once; each
// request carries its link's slave id. Requests never overlap, as the
// links are used from one thread (a line's own); a failure's guard is the
// line's.
std::vector<std::shared_ptr<ModbusLink>> make_shared_line_links(const LinkSettings& settings,
                                                                const std::vector<int>& slaves);

// Asked every few tens of ms while a link waits for an answer or for the line
// to go quiet; when it says true, the request fails at once. One for the
// process, as stop signals are; none by default. Safe to set while links
// wait on other threads; the check itself is called from those threads.
void set_link_stop_check(std::function<bool()> check);

// One program per serial line: two would take each other's answers. Locks
// the open device `fd` (flock, so the lock goes with the process however it
// ends); empty when locked, else why not ("/dev/ttyUSB0 is in use by another
// program").
std::string lock_serial_device(int fd, const std::string& device);
