// The generic data device between the host's Modbus base and a concrete
// driver: it owns the cycle's record, reads the device settings, completes a
// cycle (stamp, publish, alarm hook, batch check, history), reloads cached
// records and holds the cached status report. Of the record it knows only
// its size, its first field `dev_id` and its last field `time`.
#pragma once

#include "host/contract.hpp"
#include "host/framework.hpp"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/json.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>

namespace core_detail {

// The member's text as jsoncpp's asString gives it. Arrays and objects have
// none; they are treated like an absent member instead of throwing into
// the host.
inline bool text_of(const Json::Value& v, std::string& out)
{
    if (v.isNull() || v.isArray() || v.isObject()) return false;
    out = v.asString();
    return true;
}

inline const Json::Value& member(const Json::Value& object, const char* key)
{
    static const Json::Value null_value;
    return object.isObject() ? object[key] : null_value;
}

}  // namespace core_detail

template <typename Record, typename Base, int TypeNumber>
class UniDataDevice : public Base {
    static_assert(std::is_trivially_copyable<Record>::value, "the record is plain bytes");
    static_assert(offsetof(Record, dev_id) == 0 && sizeof(Record::dev_id) == 4,
                  "the record starts with the 32-bit device id");
    static_assert(offsetof(Record, time) + sizeof(ttime) == sizeof(Record),
                  "the record ends with its time stamp");

public:
    using Base::LoadFromCache;

    UniDataDevice() : record_(), mode_(1) {}
    ~UniDataDevice() override = default;

    int InitSetting(const Json::Value& config) override
    {
        copy_device_id();
        // The settings come from outside. What they hold that has no text is
        // skipped; should jsoncpp throw all the same, the settings are refused
        // like unreadable ones and the host's own are not read.
        try {
            read_mode(config);
            if (mode_ == 3) read_threshold_settings(config);
        } catch (const std::exception&) {
            return -1;
        }
        return Base::InitSetting(config);
    }

    void RoundDone() override
    {
        this->m_data_ready = 1;
        this->m_cycle_time = boost::posix_time::second_clock::local_time();
        record_.time = get_ttime(this->m_cycle_time);
        ZKVVDevice::SendSP(TypeNumber, record_bytes(), sizeof(Record), false);
        this->Reset();
        this->m_alarm_seq = 1;
        this->m_threshold_result = 0;
        RunCheckThreshold();
        // Kept for the gateway's log, which the site reads to see how many
        // alarm rules a cycle produced.
        std::cout << "rvSize is " << static_cast<int>(this->m_rule_vector.size()) << std::endl;
        const bool batch = ZKVVDevice::DoBatchCheckThreshold(this->m_rule_vector);
        this->m_threshold_result = (batch || this->m_threshold_result) ? 1 : 0;
        ZKVVDevice::SaveDeviceHistory(record_bytes(), sizeof(Record));
        this->m_rule_vector.clear();
    }

    bool LoadFromCache(const unsigned char* data, int length) override
    {
        if (length != static_cast<int>(sizeof(Record)) || data == nullptr) return false;
        std::memcpy(&record_, data, sizeof(Record));
        this->m_data_ready = 1;
        RoundDone();
        return true;
    }

    virtual void RunCheckThreshold() {}

    // Read access for the host's tools and tests.
    const Record& data() const { return record_; }
    int mode() const { return mode_; }
    const std::map<std::string, std::string>& alarm_ids() const { return alarm_ids_; }
    const std::map<std::string, std::string>& signal_names() const { return signal_names_; }

protected:
    const unsigned char* record_bytes() const
    {
        return reinterpret_cast<const unsigned char*>(&record_);
    }

    void copy_device_id()
    {
        const uint32_t id = this->DataId();
        std::memcpy(&record_.dev_id, &id, sizeof id);
    }

    Record record_;
    int mode_;
    std::map<std::string, std::string> alarm_ids_;
    std::map<std::string, std::string> signal_names_;
    boost::posix_time::ptime report_time_;
    std::mutex report_lock_;
    Json::Value report_;

private:
    uint32_t stored_device_id() const
    {
        uint32_t id = 0;
        std::memcpy(&id, &record_.dev_id, sizeof id);
        return id;
    }

    void read_mode(const Json::Value& config)
    {
        const Json::Value& app = core_detail::member(config, contract::settings::kApp);
        if (!app.isObject()) return;
        std::string text;
        if (!core_detail::text_of(app["b_mode"], text)) return;
        mode_ = std::atoi(text.c_str());
        std::cout << "InitSetting " << stored_device_id() << " b_mode_:" << mode_ << std::endl;
    }

    void read_threshold_settings(const Json::Value& config)
    {
        // "here 1", "here 2" and "here KEY" are kept on purpose: the gateway's
        // log shows by them how far the threshold settings were read.
        std::cout << "here 1" << std::endl;
        const Json::Value& thresholds = core_detail::member(config, contract::settings::kThresholds);
        if (thresholds.isNull()) return;
        std::cout << "here 2" << std::endl;
        // Only an object has named members; anything else has no entries.
        if (!thresholds.isObject()) return;
        for (const std::string& key : thresholds.getMemberNames()) {
            std::cout << "here " << key << std::endl;
            read_threshold_entry(key, thresholds[key]);
        }
    }

    void read_threshold_entry(const std::string& key, const Json::Value& entry)
    {
        if (!entry.isObject()) return;
        std::string text;
        if (core_detail::text_of(entry["SignalName"], text)) signal_names_[key] = text;

        std::string alarm_id;
        for (const char* part : {"NMAlarmID", "ID", "SignalNumber"}) {
            if (core_detail::text_of(entry[part], text))
                alarm_id += text;
            else
                std::cout << this->DataId() << " " << part << " is missing" << std::endl;
            alarm_id += ';';
        }
        // Kept for the monitoring centre's engineers, who match each alarm
        // point's id, level and value in the gateway's log by this line.
        std::cout << "mobile:" << key << ":" << alarm_id << " level:" << this->m_level_map[key]
                  << " value:" << this->m_value_map[key] << std::endl;
        alarm_ids_[key] = alarm_id;
    }
};
