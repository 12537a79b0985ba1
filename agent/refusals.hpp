// Why a message from the broker was refused: a small fixed set of words,
// each a label value of the agent's qm_agent_refused_messages_total and a
// line of the ingest's log. A refused message changes nothing.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace agent {

enum class Refusal {
    TooLarge,         // over the payload bound, or empty
    TooDeep,          // nested deeper than any message of ours
    NotJson,          // not one JSON object
    BadMember,        // a member missing or of the wrong type
    OutOfRange,       // a number or a text outside its range
    BadRecord,        // the record not base64 of exactly one record
    WrongTopic,       // the topic is not one of ours, or names another site or unit
    ForeignStore,     // a store another site sent first
    BeyondPublished,  // a confirmation for a row not yet sent
    ReusedSeq,        // a row unlike the one kept under its (store, seq): a store that issued a seq again
};
constexpr std::size_t kRefusalKinds = 10;

struct RefusalForm {
    Refusal refusal;
    const char* word;
    bool agent;  // the agent can meet it (on the confirm topic)
};
constexpr RefusalForm kRefusalForms[kRefusalKinds] = {
    {Refusal::TooLarge, "too_large", true},     {Refusal::TooDeep, "too_deep", true},
    {Refusal::NotJson, "not_json", true},       {Refusal::BadMember, "bad_member", true},
    {Refusal::OutOfRange, "out_of_range", true}, {Refusal::BadRecord, "bad_record", false},
    {Refusal::WrongTopic, "wrong_topic", false}, {Refusal::ForeignStore, "foreign_store", false},
    {Refusal::BeyondPublished, "beyond_published", true}, {Refusal::ReusedSeq, "reused_seq", false},
};

inline std::size_t refusal_index(Refusal r) { return static_cast<std::size_t>(r); }
inline const char* refusal_word(Refusal r) { return kRefusalForms[refusal_index(r)].word; }

// One counter per reason, written by any thread.
struct RefusalCounts {
    std::array<std::atomic<int64_t>, kRefusalKinds> counts{};
    void add(Refusal r) { ++counts[refusal_index(r)]; }
    std::array<int64_t, kRefusalKinds> snapshot() const
    {
        std::array<int64_t, kRefusalKinds> out{};
        for (std::size_t i = 0; i < kRefusalKinds; ++i) out[i] = counts[i].load();
        return out;
    }
};

// Says each reason at most once a minute: the first at once, then how many
// came since it last spoke, with the latest one's account. Any thread.
class RefusalLog {
public:
    using Clock = std::chrono::steady_clock;
    explicit RefusalLog(std::function<void(const std::string&)> say, Clock::duration every = std::chrono::minutes(1));

    void add(Refusal reason, const std::string& why, int64_t count = 1);
    // Says what is due (call it now and then), or everything (at the end).
    void tick();
    void flush();
    int64_t total() const;

private:
    void say_due(Clock::time_point now, bool all);

    std::function<void(const std::string&)> say_;
    Clock::duration every_;
    mutable std::mutex lock_;
    std::array<int64_t, kRefusalKinds> pending_{};
    std::array<std::string, kRefusalKinds> latest_;
    std::array<Clock::time_point, kRefusalKinds> next_{};
    int64_t total_ = 0;
};

}  // namespace agent
