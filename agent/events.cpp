#include "agent/events.hpp"

#include <algorithm>

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

Json::Value site_reloaded_detail(const std::string& site_hash, const std::vector<std::size_t>& restarted)
{
    Json::Value detail(Json::objectValue);
    detail["site_hash"] = site_hash;
    detail["restarted"] = Json::Value(Json::arrayValue);
    for (std::size_t line : restarted) detail["restarted"].append(static_cast<Json::UInt64>(line));
    return detail;
}

Json::Value reload_refused_detail(const std::string& site_hash, const std::string& reason)
{
    Json::Value detail(Json::objectValue);
    detail["site_hash"] = site_hash;
    detail["reason"] = reason;
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

namespace {

Json::Value ranges_json(const SeqRanges& ranges)
{
    Json::Value list(Json::arrayValue);
    for (const auto& [first, last] : ranges) {
        Json::Value pair(Json::arrayValue);
        pair.append(Json::Int64{first});
        pair.append(Json::Int64{last});
        list.append(pair);
    }
    return list;
}

std::optional<SeqRanges> read_ranges(const Json::Value& list)
{
    SeqRanges ranges;
    if (list.isNull()) return ranges;
    if (!list.isArray()) return std::nullopt;
    for (const Json::Value& pair : list) {
        if (!pair.isArray() || pair.size() != 2 || !pair[0].isInt64() || !pair[1].isInt64()) return std::nullopt;
        const int64_t first = pair[0].asInt64();
        const int64_t last = pair[1].asInt64();
        if (first < 1 || last < first) return std::nullopt;
        ranges.emplace_back(first, last);
    }
    return merge_ranges(ranges, {});
}

int64_t count_member(const Json::Value& detail, const char* name)
{
    const Json::Value& value = detail[name];
    return value.isInt64() && value.asInt64() > 0 ? value.asInt64() : 0;
}

}  // namespace

SeqRanges ranges_of(std::vector<int64_t> seqs)
{
    std::sort(seqs.begin(), seqs.end());
    SeqRanges ranges;
    for (int64_t seq : seqs) {
        if (!ranges.empty() && seq <= ranges.back().second + 1) ranges.back().second = std::max(ranges.back().second, seq);
        else ranges.emplace_back(seq, seq);
    }
    return ranges;
}

SeqRanges merge_ranges(const SeqRanges& a, const SeqRanges& b)
{
    SeqRanges all = a;
    all.insert(all.end(), b.begin(), b.end());
    std::sort(all.begin(), all.end());
    SeqRanges joined;
    for (const auto& range : all) {
        if (!joined.empty() && range.first <= joined.back().second + 1)
            joined.back().second = std::max(joined.back().second, range.second);
        else
            joined.push_back(range);
    }
    return joined;
}

SeqRanges bound_ranges(SeqRanges ranges, std::size_t most)
{
    most = std::max<std::size_t>(most, 1);
    if (ranges.size() <= most) return ranges;
    // The gaps, smallest first; the (size - most) smallest are closed.
    std::vector<std::pair<int64_t, std::size_t>> gaps;
    for (std::size_t i = 1; i < ranges.size(); ++i) gaps.emplace_back(ranges[i].first - ranges[i - 1].second, i);
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(ranges.size() - most - 1), gaps.end());
    std::vector<bool> close(ranges.size(), false);
    for (std::size_t g = 0; g < ranges.size() - most; ++g) close[gaps[g].second] = true;
    SeqRanges bounded;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (close[i]) bounded.back().second = ranges[i].second;
        else bounded.push_back(ranges[i]);
    }
    return bounded;
}

Json::Value records_dropped_detail(const DropAccount& drops)
{
    Json::Value detail =
        records_dropped_detail(drops.count, drops.reason, drops.ranges.empty() ? 0 : drops.ranges.front().first,
                               drops.ranges.empty() ? 0 : drops.ranges.back().second);
    detail["ranges"] = ranges_json(drops.ranges);
    detail["acked"] = Json::Int64{drops.acked};
    detail["acked_ranges"] = ranges_json(drops.acked_ranges);
    detail["sent"] = Json::Int64{drops.sent};
    detail["sent_ranges"] = ranges_json(drops.sent_ranges);
    if (drops.merged > 0) detail["merged"] = Json::Int64{drops.merged};
    return detail;
}

std::optional<DropAccount> read_drop_account(const Json::Value& detail)
{
    if (!detail.isObject() || !detail["reason"].isString()) return std::nullopt;
    DropAccount drops;
    drops.count = count_member(detail, "count");
    drops.reason = detail["reason"].asString();
    auto ranges = read_ranges(detail["ranges"]);
    auto acked_ranges = read_ranges(detail["acked_ranges"]);
    auto sent_ranges = read_ranges(detail["sent_ranges"]);
    if (!ranges || !acked_ranges || !sent_ranges) return std::nullopt;
    // An event written before ranges were told: its span stands for them.
    const int64_t first = count_member(detail, "first_seq");
    const int64_t last = count_member(detail, "last_seq");
    if (ranges->empty() && first > 0 && last >= first) ranges->emplace_back(first, last);
    drops.ranges = std::move(*ranges);
    drops.acked = count_member(detail, "acked");
    drops.acked_ranges = std::move(*acked_ranges);
    drops.sent = count_member(detail, "sent");
    drops.sent_ranges = std::move(*sent_ranges);
    drops.merged = count_member(detail, "merged");
    return drops;
}

Json::Value clock_step_detail(int64_t step_ms, const std::string& expected)
{
    Json::Value detail(Json::objectValue);
    detail["step_ms"] = Json::Int64{step_ms};
    detail["expected"] = expected;
    return detail;
}

Json::Value store_recovered_detail(int64_t records_kept, int64_t events_kept, const SeqRanges& records_lost,
                                   const SeqRanges& events_lost, const std::string& damaged_file, bool store_id_kept)
{
    Json::Value detail(Json::objectValue);
    detail["records_kept"] = Json::Int64{records_kept};
    detail["events_kept"] = Json::Int64{events_kept};
    detail["records_lost"] = ranges_json(records_lost);
    detail["events_lost"] = ranges_json(events_lost);
    detail["damaged_file"] = damaged_file;
    detail["store_id_kept"] = store_id_kept;
    return detail;
}

Json::Value notify_failed_detail(int64_t event_seq, const std::string& event_kind, int attempts,
                                 const std::string& reason)
{
    Json::Value detail(Json::objectValue);
    detail["event_seq"] = Json::Int64{event_seq};
    detail["event_kind"] = event_kind;
    detail["attempts"] = attempts;
    detail["reason"] = reason;
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
    // 15 significant digits: a register of 312 tenths reads 31.2, never
    // 31.199999999999999, in the store's details and the broker's messages.
    static const Json::StreamWriterBuilder writer = [] {
        Json::StreamWriterBuilder w;
        w["indentation"] = "";
        w["emitUTF8"] = true;
        w["precision"] = 15;
        return w;
    }();
    return Json::writeString(writer, value);
}

}  // namespace agent
