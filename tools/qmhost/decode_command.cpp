// qmhost decode: stored 459-byte records (history, the gateway's cache)
// rendered by the driver, one report per line.
#include "tools/qmhost/commands.hpp"
#include "tools/qmhost/decoded_report.hpp"
#include "hosting/plugin_library.hpp"
#include "tools/qmhost/program_output.hpp"
#include "tools/qmhost/report_values.hpp"
#include "tools/qmhost/stored_record.hpp"

#include "host/contract.hpp"
#include "host/sink.hpp"

#include <json/json.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

constexpr const char* kTimeMember = "更新时间";

}  // namespace

// The driver's report of one record, "更新时间" set to the record's own time
// stamp: a cache load re-stamps the record with the time of loading. A new
// driver per record, because a driver rebuilds its report only when the
// cycle time (whole seconds) has changed, and loads within one second would
// all show the first record.
Json::Value decoded_report(const PluginLibrary& plugin, const std::vector<unsigned char>& record)
{
    ZKVController controller;
    const std::unique_ptr<ZKVSPDevice> device = plugin.create_device();
    device->Init(&controller, 0);
    device->InitSetting(Json::Value(Json::objectValue));
    if (!device->LoadFromCache(record.data(), static_cast<int>(record.size())))
        throw std::runtime_error("the driver refused a stored record");

    const Json::Value* document = nullptr;
    int length = 0;
    if (device->DeviceIoControl(contract::command::kReportHandle, nullptr, 0, &document, sizeof document, length) != 0 ||
        document == nullptr)
        throw std::runtime_error("the driver gave no report for a stored record");
    Json::Value report = *document;

    const ttime stamp = record_stamp(record);
    report[kTimeMember] = report_time_text(stamp);
    report[kDeviceIdMember] = Json::UInt{record_device_id(record)};
    report[kRecordTimeMember] = record_time_iso(stamp);
    return report;
}

ExitStatus run_decode(const CommandLine& c)
{
    std::ifstream in(c.decode_file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + c.decode_file + ": " + std::strerror(errno));
    PluginLibrary plugin(plugin_path(c.device.plugin));

    std::ostream& out = program_output();
    Json::FastWriter writer;  // the driver's own rendering of the report
    std::vector<unsigned char> record(contract::kRecordSize);
    long records = 0;
    long skipped = 0;
    for (unsigned long long offset = 0;; offset += record.size()) {
        in.read(reinterpret_cast<char*>(record.data()), static_cast<std::streamsize>(record.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        if (got < record.size()) {
            out.flush();
            throw std::runtime_error(c.decode_file + ": " + std::to_string(got) + " bytes at byte offset " +
                                     std::to_string(offset) + " are not a whole " +
                                     std::to_string(record.size()) + "-byte record" +
                                     (skipped > 0 ? "; " + std::to_string(skipped) + " records skipped" : ""));
        }
        ++records;
        if (const std::string why = c.decode_lenient ? std::string() : record_refusal(record); !why.empty()) {
            out.flush();
            std::cerr << "qmhost: " << c.decode_file << ": the record at byte offset " << offset
                      << " is no record, skipped: " << why << std::endl;
            ++skipped;
            continue;
        }
        out << writer.write(decoded_report(plugin, record));
    }
    out.flush();
    if (in.bad()) throw std::runtime_error("cannot read " + c.decode_file + ": " + std::strerror(errno));
    if (skipped == 0) return ExitStatus::kOk;
    std::cerr << "qmhost: " << c.decode_file << ": " << skipped << " of " << records
              << " records skipped (--lenient renders them)" << std::endl;
    return ExitStatus::kFailed;
}
