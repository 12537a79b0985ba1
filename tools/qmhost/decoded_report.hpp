// One stored 459-byte record rendered by the driver, as qmhost decode
// prints it; shared by decode and history.
#pragma once

#include "tools/qmhost/plugin_library.hpp"

#include <json/json.h>

#include <vector>

// The driver's report of the record, "更新时间" set to the record's own time
// stamp. Throws std::runtime_error when the driver refuses the record.
Json::Value decoded_report(const PluginLibrary& plugin, const std::vector<unsigned char>& record);
