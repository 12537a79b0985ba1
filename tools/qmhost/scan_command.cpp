// qmhost scan: which slave ids answer on a serial line, and at which speed.
// Each id is asked once per speed for the unit's on/off bit, the one read
// that both finds a unit and says something about it; nothing is written.
#include "tools/qmhost/commands.hpp"
#include "hosting/stop_signals.hpp"

#include "driver/unit_objects.hpp"
#include "host/libmodbus_link.hpp"

#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kDefaultBaud = 9600;
constexpr int kDefaultTimeoutMs = 100;

std::vector<int> all_unit_ids()
{
    std::vector<int> ids;
    for (int id = kLowestSlaveId; id <= kHighestSlaveId; ++id) ids.push_back(id);
    return ids;
}

std::string framing(const LinkSettings& line)
{
    return std::to_string(line.data_bits) + line.parity + std::to_string(line.stop_bits);
}

std::string id_range_text(const std::vector<int>& ids)
{
    const bool contiguous = ids.back() - ids.front() + 1 == static_cast<int>(ids.size());
    if (ids.size() == 1) return "slave id " + std::to_string(ids.front());
    if (contiguous) return "slave ids " + std::to_string(ids.front()) + " to " + std::to_string(ids.back());
    return std::to_string(ids.size()) + " slave ids";
}

std::string speeds_text(const std::vector<int>& bauds)
{
    std::string text;
    for (std::size_t i = 0; i < bauds.size(); ++i) text += (i ? ", " : "") + std::to_string(bauds[i]);
    return text + " baud";
}

// What one id said at one speed; the line itself failing ends the scan.
struct Answer {
    bool answered = false;
    std::string what;  // for the listing; empty for silence
};

Answer ask(ModbusLink& unit)
{
    uint8_t on = 0;
    if (unit.read_bits(unit_objects::kOnOffBit, 1, &on)) return {true, on ? "unit on" : "unit off"};
    const LinkFailure& failure = unit.failure();
    switch (failure.kind) {
    case LinkFailure::Kind::Exception:
        return {true, "answered, " + failure.reason};
    case LinkFailure::Kind::Garbled:
        // Something is there, but not at this speed or framing, or not well.
        return {false, "a garbled answer: " + failure.reason};
    case LinkFailure::Kind::NoAnswer:
        return {};
    default:
        throw std::runtime_error(failure.text());
    }
}

}  // namespace

ExitStatus run_scan(const CommandLine& c)
{
    LinkSettings line = link_over(c.device.link, std::nullopt);
    line.timeout_ms = c.device.link.timeout_ms.value_or(kDefaultTimeoutMs);
    // A late answer from one id must not count for the next; the guard
    // after a silence is the timeout again, which bounds the scan.
    line.guard_ms = line.timeout_ms;
    const std::vector<int> ids = c.scan.slaves.empty() ? all_unit_ids() : c.scan.slaves;
    const std::vector<int> bauds = c.scan.bauds.empty() ? std::vector<int>{kDefaultBaud} : c.scan.bauds;
    const long bound_ms = static_cast<long>(ids.size() * bauds.size()) * 2 * line.timeout_ms;

    StopSignals stop;
    set_link_stop_check([&stop] { return stop.requested(); });
    std::ostream& out = program_output();
    long found = 0;
    bool stopped = false;
    for (std::size_t b = 0; b < bauds.size() && !stopped; ++b) {
        line.baud = bauds[b];
        const auto units = make_shared_line_links(line, ids);
        if (!units.front()->open()) throw std::runtime_error(units.front()->failure().text());
        if (b == 0)
            out << "scanning " << line.device << " " << framing(line) << ": " << id_range_text(ids) << " at "
                << speeds_text(bauds) << ", " << line.timeout_ms << " ms each, at most "
                << (bound_ms + 999) / 1000 << " s" << std::endl;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (stop.requested()) {
                stopped = true;
                break;
            }
            const Answer answer = ask(*units[i]);
            if (answer.what.empty()) continue;
            found += answer.answered;
            out << "slave " << ids[i] << " at " << bauds[b] << " baud: " << answer.what << std::endl;
        }
    }
    set_link_stop_check({});
    out << (stopped ? "stopped: " : "") << found << (found == 1 ? " answer" : " answers") << " from "
        << ids.size() << (ids.size() == 1 ? " id" : " ids") << " at " << bauds.size()
        << (bauds.size() == 1 ? " speed" : " speeds") << std::endl;
    return found > 0 ? ExitStatus::kOk : ExitStatus::kFailed;
}
