// One stored 459-byte record rendered by the driver, as qmhost decode
// prints it; shared by decode and history.
#pragma once

#include "hosting/plugin_library.hpp"

#include <json/json.h>

#include <vector>

// Members added beside the driver's own: the device id the record carries,
// and its time stamp in ISO 8601 (local time, no offset).
inline constexpr const char* kDeviceIdMember = "device_id";
inline constexpr const char* kRecordTimeMember = "record_time";

// The driver's report of the record, "更新时间" set to the record's own time
// stamp, with the two members above. Throws std::runtime_error when the
// driver refuses the record.
Json::Value decoded_report(const PluginLibrary& plugin, const std::vector<unsigned char>& record);
