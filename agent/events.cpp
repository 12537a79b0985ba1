#include "agent/events.hpp"


namespace agent {

Json::Value alarm_detail(int position, const std::string& code_mode_1, const std::string& code_mode_2,
                         const std::string& name, int level)
{
    Json::Value detail(Json::objectValue);
    detail["position"] = position;
    detail["codes"].append(code_mode_1);
    detail["codes"].append(code_mode_2);
    detail["name"] = name;
    detail["level"] = level;
    return detail;
}

Json::Value unit_lost_detail(int64_t failed_cycles, const std::string& error)
{
    Json::Value detail(Json::objectValue);
    detail["failed"] = Json::Int64{failed_cycles};
    detail["error"] = error;
    return detail;
}

Json::Value unit_back_detail(int64_t failed_cycles)
{
    Json::Value detail(Json::objectValue);
    detail["failed"] = Json::Int64{failed_cycles};
    return detail;
}

Json::Value control_detail(int code, const std::string& input_hex, int result, const std::string& source)
{
    Json::Value detail(Json::objectValue);
    detail["code"] = code;
    detail["input"] = input_hex;
    detail["result"] = result;
    detail["source"] = source;
    return detail;
}

Json::Value agent_detail(const std::string& version, const std::string& site_hash)
{
    Json::Value detail(Json::objectValue);
    detail["version"] = version;
    detail["site_hash"] = site_hash;
    return detail;
}

Json::Value records_dropped_detail(int64_t count, const std::string& reason, int64_t first_seq, int64_t last_seq)
{
    Json::Value detail(Json::objectValue);
    detail["count"] = Json::Int64{count};
    detail["reason"] = reason;
    if (first_seq > 0) {
        detail["first_seq"] = Json::Int64{first_seq};
        detail["last_seq"] = Json::Int64{last_seq};
    }
    return detail;
}

Json::Value store_error_detail(const std::string& error, const std::string& since, int64_t failed_cycles)
{
    Json::Value detail(Json::objectValue);
    detail["error"] = error;
    detail["since"] = since;
    detail["failed_cycles"] = Json::Int64{failed_cycles};
    return detail;
}

Json::Value store_behind_centre_detail(const BehindCentre& records, const BehindCentre& events)
{
    Json::Value detail(Json::objectValue);
    detail["last_record_seq"] = Json::Int64{records.last_seq};
    detail["centre_record_seq"] = Json::Int64{records.centre_seq};
    detail["last_event_seq"] = Json::Int64{events.last_seq};
    detail["centre_event_seq"] = Json::Int64{events.centre_seq};
    detail["records_renumbered"] = Json::Int64{records.renumbered};
    detail["events_renumbered"] = Json::Int64{events.renumbered};
    return detail;
}

std::string compact_json(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

}  // namespace agent
