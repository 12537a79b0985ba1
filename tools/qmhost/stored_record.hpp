// A stored 459-byte record as the tools read it: the device id and time
// stamp it carries besides the unit's data, and whether bytes can be a
// record a driver published at all.
#pragma once

#include "host/framework.hpp"

#include <cstdint>
#include <string>
#include <vector>

// Years a record's time stamp may carry: from 1970, what a host clock that
// was never set says (its data are still the unit's), to 2099.
inline constexpr int kFirstRecordYear = 1970;
inline constexpr int kLastRecordYear = 2099;

// Both read a whole record (contract::kRecordSize bytes).
uint32_t record_device_id(const std::vector<unsigned char>& record);
ttime record_stamp(const std::vector<unsigned char>& record);

// The time stamp in ISO 8601 without an offset (2026-12-08T10:02:17): the
// host's local time when the record was made, whose zone is not stored.
std::string record_time_iso(const ttime& stamp);

// Why these bytes are no record a driver published: every byte zero (what a
// file extended under its writer holds), or a time stamp that is no real date
// and time, or outside the years above. Empty when they can be one.
std::string record_refusal(const std::vector<unsigned char>& record);
