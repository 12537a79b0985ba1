// The link options qmhost and qmsim share: one spelling, one check and one
// message each. The values are checked by the link settings' own checks.
#pragma once

#include "host/link_settings.hpp"

#include <optional>
#include <string>
#include <vector>

// The options as given; each one given overrides the device JSON's "link".
struct LinkOptions {
    std::optional<std::string> tcp_host;
    std::optional<int> tcp_port;
    std::optional<std::string> rtu_device;
    std::optional<int> baud;
    std::optional<char> parity;
    std::optional<int> data_bits;
    std::optional<int> stop_bits;
    std::vector<int> slaves;  // --slave N[,N...]; empty: not given
    std::optional<int> timeout_ms;
};

// The end of the line a program is: the host asks (its --tcp names a
// unit's port; it waits --timeout-ms for an answer), the simulated unit
// answers (its --tcp port 0 takes a free one).
enum class LinkEnd { Host, Unit };

// Whether `name` is a link option of this end.
bool is_link_option(LinkEnd end, const std::string& name);
// Stores the value of link option `name`; UsageError naming the option for
// a value it refuses.
void take_link_option(const std::string& name, const std::string& value, LinkEnd end, LinkOptions& options);

// Slave ids as options give them: "3", or "1,2,3" each once.
int parse_slave_id(const std::string& option, const std::string& text);
std::vector<int> parse_slave_ids(const std::string& option, const std::string& text);

// The line the options describe, over the device JSON's (`configured`)
// when it has one. UsageError when neither names a line.
LinkSettings link_over(const LinkOptions& options, const std::optional<LinkSettings>& configured);
