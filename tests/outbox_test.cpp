// The outbox's rules without a broker: a real store on disk, a link that
// only records what it was handed, and the clock passed in.
#include "agent/outbox.hpp"
#include "agent/outbox_reader.hpp"
#include "agent/store.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace agent;

constexpr int64_t kT0 = 1796724000000;  // 2026-12-08T10:00:00Z, the store's clock
constexpr int64_t kSecond = 1000;

std::string row_name(Stream stream, int64_t seq) { return (stream == Stream::Records ? "r" : "e") + std::to_string(seq); }

// Hands out message ids and remembers what it was handed, as "r4 e1 r1!"
// (! marks a replay).
class RecordingLink : public OutboxLink {
public:
    std::optional<int> send(const StoredRecord& r, const Sending& how) override
    {
        return take(Stream::Records, r.seq, how);
    }
    std::optional<int> send(const StoredEvent& e, const Sending& how) override
    {
        return take(Stream::Events, e.seq, how);
    }
    std::string drain()
    {
        std::string text;
        text.swap(sent_);
        return text;
    }
    int mid_of(const std::string& row) const { return mids_.at(row); }

private:
    std::optional<int> take(Stream stream, int64_t seq, const Sending& how)
    {
        const std::string name = row_name(stream, seq);
        sent_ += (sent_.empty() ? "" : " ") + name + (how.replay ? "!" : "");
        mids_[name] = ++last_mid_;
        return last_mid_;
    }
    std::string sent_;
    std::map<std::string, int> mids_;
    int last_mid_ = 0;
};

// The marks go to the store (the reader sees them, as the publisher's does)
// and the confirmations are remembered, as "r3 e1".
class StoreMarks : public OutboxMarks {
public:
    explicit StoreMarks(std::optional<Store>& store) : store_(store) {}
    void mark_acked(Stream stream, const std::vector<int64_t>& seqs, int64_t now_ms) override
    {
        store_->mark_acked(stream, seqs, now_ms);
    }
    void mark_confirmed_up_to(Stream stream, int64_t seq) override
    {
        store_->mark_confirmed_up_to(stream, seq);
        confirmed_ += (confirmed_.empty() ? "" : " ") + row_name(stream, seq);
    }
    bool move_past_centre(int64_t record_mark, int64_t event_mark, int64_t record_sent, int64_t event_sent) override
    {
        return store_->move_past_centre(record_mark, event_mark, kT0, record_sent, event_sent).has_value();
    }
    std::string drain()
    {
        std::string text;
        text.swap(confirmed_);
        return text;
    }

private:
    std::optional<Store>& store_;
    std::string confirmed_;
};

class OutboxTest : public ::testing::Test {
protected:
    OutboxTest()
        : folder_(std::filesystem::temp_directory_path() / ("qm_outbox_" + std::to_string(getpid()))),
          store_(std::in_place, (std::filesystem::create_directories(folder_), (folder_ / "store.db").string()),
                 settings()),
          reader_((folder_ / "store.db").string()),
          marks_(store_)
    {
    }
    ~OutboxTest() override { std::filesystem::remove_all(folder_); }

    static StoreSettings settings()
    {
        StoreSettings s;
        s.site = "site-1";
        s.forwarding = true;
        return s;
    }
    void make_outbox(OutboxRules rules)
    {
        outbox_ = std::make_unique<Outbox>(rules, store_->store_id(), reader_, marks_, stats_);
    }
    // The agent's restart: what the store holds now was issued before the open.
    void reopen()
    {
        store_.reset();
        store_.emplace((folder_ / "store.db").string(), settings());
    }
    void commit(int records, int events)
    {
        Cycle cycle{kT0, {}, {}};
        for (int i = 0; i < records; ++i)
            cycle.records.push_back({"u1", 1, 42, kT0, "2026-12-08 18:00:00", true, 5156, std::vector<unsigned char>(459)});
        for (int i = 0; i < events; ++i) cycle.events.push_back({"", kT0, event_kind::kUnitLost, Json::objectValue});
        ASSERT_TRUE(store_->commit_cycle(cycle).committed);
    }
    static OutboxTime at(int64_t ms) { return {ms, kT0 + ms}; }
    // One publisher round at `ms`: marks written, then what is due sent.
    std::string round(int64_t ms)
    {
        outbox_->write_marks(at(ms).utc_ms);
        outbox_->send(link_, at(ms));
        return link_.drain();
    }
    void ack(const std::string& row, bool accepted = true) { outbox_->acknowledged(link_.mid_of(row), accepted); }

    std::filesystem::path folder_;
    std::optional<Store> store_;
    OutboxReader reader_;
    StoreMarks marks_;
    AgentStats stats_;
    RecordingLink link_;
    std::unique_ptr<Outbox> outbox_;
};

// Rows stored before the connect are a backlog, drained at its rate in seq
// order per stream; rows stored after it are live and go first, at once.
TEST_F(OutboxTest, LiveRowsFirstAndTheBacklogAtItsRate)
{
    make_outbox({16, 2, 120});
    commit(3, 2);
    outbox_->restart(at(0));
    const struct {
        int64_t ms;
        int records;
        int events;
        const char* sent;
    } rounds[] = {
        {0, 2, 1, "r4 r5 e3"},       // live; the backlog's allowance starts empty
        {1000, 0, 0, "r1 r2"},       // two a second
        {2000, 1, 1, "r6 e4 r3 e1"}, // live beside the backlog, which takes its two
        {2500, 0, 0, "e2"},          // half a second: one more
        {4000, 0, 0, ""},            // the backlog is done
    };
    for (const auto& r : rounds) {
        commit(r.records, r.events);
        EXPECT_EQ(round(r.ms), r.sent) << "at " << r.ms << " ms";
    }
    EXPECT_EQ(stats_.published_total, 10);
    EXPECT_EQ(stats_.replayed_total, 0);
}

// At most `inflight` rows unacknowledged; an acknowledgement frees a place,
// one for a message not in the window changes nothing, and a message never
// acknowledged frees its place after replay_after_s and its row goes again.
TEST_F(OutboxTest, TheWindowHoldsUntilAcknowledgedOrOverdue)
{
    make_outbox({2, 100, 60});
    outbox_->restart(at(0));
    commit(4, 0);
    EXPECT_EQ(round(0), "r1 r2");
    EXPECT_EQ(round(100), "");
    outbox_->acknowledged(999, true);
    EXPECT_EQ(round(200), "");
    ack("r1");
    EXPECT_EQ(round(300), "r3");
    ack("r2", false);  // the broker refused it: not acknowledged, but out of the window
    EXPECT_EQ(round(400), "r4");
    ack("r4");
    // By now r1 waits too long for its confirmation, r2 was refused and r3
    // never acknowledged: all three go again, two at a time.
    EXPECT_EQ(round(61 * kSecond), "");  // r3's place freed; the repair found
    EXPECT_EQ(round(62 * kSecond), "r1! r2!");
    EXPECT_EQ(round(63 * kSecond), "");
    ack("r1");
    ack("r2");
    EXPECT_EQ(round(64 * kSecond), "r3!");
    EXPECT_EQ(stats_.replayed_total, 3);
}

// Acknowledged rows the centre has not confirmed within replay_after_s go
// again with replay set; confirmed rows never do.
TEST_F(OutboxTest, AcknowledgedButUnconfirmedRowsGoAgainAfterTheSetTime)
{
    make_outbox({16, 100, 60});
    outbox_->restart(at(0));
    commit(3, 1);
    EXPECT_EQ(round(0), "r1 r2 r3 e1");
    for (const char* row : {"r1", "r2", "r3", "e1"}) ack(row);
    outbox_->confirmed({store_->store_id(), 1, 0});
    EXPECT_EQ(round(1 * kSecond), "");
    EXPECT_EQ(round(60 * kSecond), "");  // acked at 1 s: not overdue yet
    EXPECT_EQ(round(62 * kSecond), "");  // found overdue
    EXPECT_EQ(round(63 * kSecond), "r2! r3! e1!");
    outbox_->confirmed({store_->store_id(), 3, 1});
    for (const char* row : {"r2", "r3", "e1"}) ack(row);
    EXPECT_EQ(round(64 * kSecond), "");
    EXPECT_EQ(round(200 * kSecond), "");
}

// Confirmation marks only rise, only the store's own count, and never past
// the rows sent: a forged mark beyond them is counted and ignored, and the
// centre's real marks still count after it.
TEST_F(OutboxTest, ConfirmationsForAnotherStoreBelowTheMarkOrBeyondTheSentAreIgnored)
{
    make_outbox({16, 100, 60});
    outbox_->restart(at(0));
    commit(6, 2);
    EXPECT_EQ(round(0), "r1 r2 r3 r4 r5 r6 e1 e2");
    commit(20, 2);  // r7 to r26, e3 and e4: stored, not sent
    reopen();       // and issued before the open, so a mark for them is no store behind the centre
    const struct {
        bool own_store;
        int64_t record_seq;
        int64_t event_seq;
        const char* written;
    } confirms[] = {
        {true, 3, 1, "r3 e1"},
        {false, 6, 2, ""},     // another store's marks
        {true, 2, 1, ""},      // below the mark
        {true, 26, 1, ""},     // beyond the rows sent
        {true, 5, 3, "r5"},  // events beyond: only the records mark counts
        {true, 6, 2, "r6 e2"},
    };
    for (const auto& c : confirms) {
        outbox_->confirmed({c.own_store ? store_->store_id() : "another-store", c.record_seq, c.event_seq});
        outbox_->write_marks(kT0);
        EXPECT_EQ(marks_.drain(), c.written) << c.record_seq;
    }
    EXPECT_EQ(reader_.unconfirmed_from(Stream::Records), 7);
    EXPECT_EQ(reader_.unconfirmed_from(Stream::Events), 3);
    EXPECT_EQ(stats_.snapshot().refused_messages[refusal_index(Refusal::BeyondPublished)], 2);
}

}  // namespace

namespace {

// A store behind the centre (a copy without its WAL): nothing goes until the
// centre's mark arrives, the rows written since the open then move past it,
// go out under their new seqs, and nothing is confirmed from that mark.
TEST_F(OutboxTest, AStoreBehindTheCentreMovesPastItsMarkBeforeARowGoesOut)
{
    commit(3, 0);  // r1-r3: issued before the open
    reopen();
    make_outbox({16, 100, 60, 1000});
    commit(2, 1);  // r4, r5 and e1: the same seqs the centre already holds
    outbox_->restart(at(0));
    EXPECT_EQ(round(0), "");    // waiting for the centre's mark
    EXPECT_EQ(round(500), "");
    EXPECT_TRUE(outbox_->confirmed({store_->store_id(), 6, 0}));
    EXPECT_EQ(round(600), "");  // read again from the store: a backlog at its rate
    EXPECT_EQ(round(700), "r1 r2 r3 r7 r8 e1 e2");  // r4, r5 moved past the mark; e2 tells it
    EXPECT_EQ(marks_.drain(), "");
    EXPECT_EQ(reader_.last_seq(Stream::Records), 8);
    outbox_->confirmed({store_->store_id(), 6, 0});  // the retained mark again: no second move
    EXPECT_EQ(reader_.last_seq(Stream::Records), 8);
    outbox_->confirmed({store_->store_id(), 8, 2});
    outbox_->write_marks(kT0);
    EXPECT_EQ(marks_.drain(), "r8 e2");
    EXPECT_EQ(stats_.snapshot().refused_messages[refusal_index(Refusal::BeyondPublished)], 0);
}

// Without a mark from the centre the rows go once the wait is over.
TEST_F(OutboxTest, WithoutTheCentresMarkRowsGoAfterTheWait)
{
    make_outbox({16, 100, 60, 1000});
    commit(1, 0);
    outbox_->restart(at(0));
    EXPECT_EQ(round(0), "");
    EXPECT_EQ(round(999), "");
    EXPECT_EQ(round(1000), "r1");
}

}  // namespace
