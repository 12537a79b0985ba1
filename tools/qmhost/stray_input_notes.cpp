#include "tools/qmhost/stray_input_notes.hpp"

#include "host/link_settings.hpp"

#include <iostream>
#include <string>

namespace {

// A frame's first byte is the slave id of the unit that sent it.
std::string sender_text(const std::vector<uint8_t>& frame)
{
    if (frame.empty()) return "no unit";
    const int id = frame.front();
    if (!is_unit_slave_id(id)) return "no unit (its first byte, " + std::to_string(id) + ", is no slave id)";
    return "slave " + std::to_string(id);
}

// "discarded a stray frame (8 bytes) waiting on the line before a request;
// it seemed to come from slave 1"
std::string discards_text(long discards, long bytes, const std::vector<uint8_t>& last)
{
    const bool one = discards == 1;
    return "discarded " + (one ? std::string("a stray frame") : std::to_string(discards) + " stray frames") + " (" +
           std::to_string(bytes) + " bytes) waiting on the line before " + (one ? "a request" : "requests") + "; " +
           (one ? "it" : "the last") + " seemed to come from " + sender_text(last);
}

}  // namespace

void StrayInputNotes::after_cycle(const std::vector<std::unique_ptr<HostedDevice>>& devices, long cycle)
{
    for (const auto& device : devices) {
        const StrayInput* stray = device->stray_input();
        if (!stray) continue;
        StrayInput& told = told_[stray];
        if (stray->discards == told.discards) continue;
        std::cerr << "qmhost: cycle " << cycle << ": "
                  << discards_text(stray->discards - told.discards, stray->bytes - told.bytes, stray->last)
                  << std::endl;
        told.discards = stray->discards;
        told.bytes = stray->bytes;
    }
}
