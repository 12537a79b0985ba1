// Feeds arbitrary settings texts, one after another, to one device's
// InitSetting, then runs a polling cycle so the alarm evaluation works with
// whatever mode and threshold entries the settings left behind.
//
// Input format: settings texts separated by NUL bytes (at most 16). A text
// jsoncpp cannot parse is skipped, as the host would; the host's "link"
// member is dropped so that no settings text ever opens a port.
#include "tests/fuzz/fuzz_input.hpp"

#include <json/json.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

constexpr int kMaxTexts = 16;
constexpr int kMaxAnswers = 64;

bool parse_settings(const char* begin, const char* end, Json::Value& config)
{
    try {
        Json::Reader reader;
        return reader.parse(begin, end, config, false);
    } catch (const std::exception&) {
        return false;  // the host's parse, not the driver's
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzedDriver fuzzed(7);
    QM4700RX2VA9& driver = fuzzed.driver;

    const char* text = reinterpret_cast<const char*>(data);
    const char* const end = text + size;
    for (int n = 0; n < kMaxTexts && text < end; ++n) {
        const char* stop = static_cast<const char*>(std::memchr(text, '\0', end - text));
        if (stop == nullptr) stop = end;
        Json::Value config;
        if (parse_settings(text, stop, config)) {
            if (config.isObject()) config.removeMember("link");
            driver.InitSetting(config);
        }
        text = stop + 1;
    }

    driver.RefreshStatus();
    for (int n = 0; n < kMaxAnswers && driver.IsProcessing(); ++n) driver.process();
    return 0;
}
