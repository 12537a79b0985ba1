// Stray input a line discarded before requests, told once per cycle with
// the unit it seemed to come from.
#pragma once

#include "hosting/hosted_device.hpp"

#include <map>
#include <memory>
#include <vector>

class StrayInputNotes {
public:
    // One line on standard error for each line that discarded input since
    // the last call; units sharing a line are told about once.
    void after_cycle(const std::vector<std::unique_ptr<HostedDevice>>& devices, long cycle);

private:
    std::map<const StrayInput*, StrayInput> told_;  // counts already told, by line
};
