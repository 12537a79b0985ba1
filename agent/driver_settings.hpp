// A unit's "settings" in the site file checked against what its driver
// reads from them: "appSetting" with "b_mode", and in mode 3 the
// "thresholdSetting" entries. The driver itself takes any text and falls
// back without a word (a misspelt member, a mode it does not know), so a
// mistake here would reach the centre as wrong alarm codes.
#pragma once

#include "agent/site_checks.hpp"

#include <json/json.h>

namespace agent {

// Throws SiteFileError naming the member under `path` ("lines[0].units[1].
// settings.appSetting.b_mode: 7 is not an alarm code mode (1 to 3)").
void check_driver_settings(const Json::Value& settings, const site_checks::Path& path);

}  // namespace agent
