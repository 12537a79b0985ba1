#include "agent/outbox.hpp"

#include <algorithm>

namespace agent {
namespace {

constexpr int64_t kRepairCheckEveryMs = 1000;  // rows overdue for a confirmation are looked for this often

constexpr std::array<Stream, 2> kStreams = {Stream::Records, Stream::Events};
std::size_t index_of(Stream s) { return s == Stream::Records ? 0 : 1; }

}  // namespace

Outbox::Outbox(OutboxRules rules, std::string store_id, OutboxReader& rows, OutboxMarks& marks, AgentStats& stats)
    : rules_(rules), store_id_(std::move(store_id)), rows_(rows), marks_(marks), stats_(stats)
{
}

void Outbox::acknowledged(int mid, bool accepted)
{
    const auto flight = flights_.find(mid);
    if (flight == flights_.end()) return;
    const std::size_t i = index_of(flight->second.stream);
    if (accepted) acked_[i].push_back(flight->second.seq);
    in_flight_[i].erase(flight->second.seq);
    flights_.erase(flight);
}

bool Outbox::confirmed(const mqtt::Confirm& confirm)
{
    if (confirm.store != store_id_) return true;
    mark_heard_ = true;
    std::array<int64_t, 2> beyond = {0, 0};  // per stream: a mark beyond the rows sent
    for (Stream stream : kStreams) {
        const std::size_t i = index_of(stream);
        const int64_t mark = stream == Stream::Records ? confirm.record_seq : confirm.event_seq;
        if (mark > confirmed_[i] && mark > published(stream)) beyond[i] = mark;
    }
    const bool is_beyond = beyond[0] != 0 || beyond[1] != 0;
    if (!is_beyond || !marks_.move_past_centre(beyond[0], beyond[1], published(Stream::Records),
                                                  published(Stream::Events))) {
        // A stream's mark within the rows sent counts whatever the other's says.
        for (Stream stream : kStreams) {
            const std::size_t i = index_of(stream);
            const int64_t mark = stream == Stream::Records ? confirm.record_seq : confirm.event_seq;
            if (beyond[i] == 0) confirmed_[i] = std::max(confirmed_[i], mark);
        }
        if (is_beyond) stats_.refused.add(Refusal::BeyondPublished);
        return !is_beyond;
    }
    // The rows written since the start have new seqs: nothing in flight
    // stands for them any more, and the centre's marks are where its next
    // confirmations start.
    flights_.clear();
    for (std::size_t i = 0; i < 2; ++i) {
        in_flight_[i].clear();
        published_[i].reset();
        published_[i] = std::max(published(kStreams[i]), beyond[i]);
    }
    restart_due_ = true;
    return true;
}

// A store that cannot be read now shows nothing sent: a confirmation then
// waits for the centre's next one, which follows each row it keeps.
int64_t Outbox::published(Stream stream)
{
    std::optional<int64_t>& known = published_[index_of(stream)];
    if (!known) {
        try {
            known = std::max(rows_.last_acked(stream), rows_.unconfirmed_from(stream) - 1);
        } catch (const std::exception&) {
            return 0;
        }
    }
    return *known;
}

void Outbox::write_marks(int64_t utc_ms)
{
    for (Stream stream : kStreams) {
        const std::size_t i = index_of(stream);
        if (!acked_[i].empty()) marks_.mark_acked(stream, acked_[i], utc_ms);
        acked_[i].clear();
        if (published_[i] && *published_[i] > sent_written_[i]) {
            marks_.mark_sent(stream, *published_[i]);
            sent_written_[i] = *published_[i];
        }
        if (confirmed_[i] > confirmed_written_[i]) {
            marks_.mark_confirmed_up_to(stream, confirmed_[i]);
            confirmed_written_[i] = confirmed_[i];
        }
    }
}

// What the centre has not confirmed may have been lost with the broker, so
// it all goes again, in seq order, behind the live rows. Rows libmosquitto
// still holds in flight it resends itself.
void Outbox::restart(const OutboxTime& now)
{
    read_unconfirmed_from();
    for (Stream stream : kStreams) {
        const std::size_t i = index_of(stream);
        live_next_[i] = rows_.last_seq(stream) + 1;
        backlog_[i] = Backlog{unconfirmed_from_[i], live_next_[i] - 1, INT64_MAX};
    }
    tokens_ = 0;
    last_refill_ms_ = now.steady_ms;
}

void Outbox::send(OutboxLink& link, const OutboxTime& now)
{
    if (!mark_heard_) {
        if (!mark_wait_from_) mark_wait_from_ = now.steady_ms;
        if (now.steady_ms - *mark_wait_from_ < rules_.mark_wait_ms) return;
        mark_heard_ = true;
    }
    if (restart_due_) {
        restart_due_ = false;
        restart(now);
    }
    read_unconfirmed_from();
    expire_flights(now);
    send_live(link, now);
    send_backlog(link, now);
    check_repairs(now);
}

int Outbox::free_window() const
{
    return rules_.inflight - static_cast<int>(in_flight_[0].size() + in_flight_[1].size());
}

void Outbox::read_unconfirmed_from()
{
    for (Stream stream : kStreams) unconfirmed_from_[index_of(stream)] = rows_.unconfirmed_from(stream);
}

template <typename Visit>
void Outbox::each_row(OutboxLink& link, Stream stream, const OutboxRange& range, Visit visit)
{
    if (stream == Stream::Records)
        rows_.each_record(range, [&](const StoredRecord& r) {
            visit(r.seq, r.acked_ms.has_value(), [&](const Sending& how) { return link.send(r, how); });
        });
    else
        rows_.each_event(range, [&](const StoredEvent& e) {
            visit(e.seq, e.acked_ms.has_value(), [&](const Sending& how) { return link.send(e, how); });
        });
}

// False when the link did not take the row.
bool Outbox::take(std::optional<int> mid, Stream stream, int64_t seq, const OutboxTime& now)
{
    if (!mid) return false;
    flights_[*mid] = Flight{stream, seq, now.steady_ms};
    published_[index_of(stream)] = std::max(published(stream), seq);
    in_flight_[index_of(stream)].insert(seq);
    ++stats_.published_total;
    return true;
}

// A message never acknowledged (a broker that dropped the session) would
// hold the window for good: after replay_after_s it is let go, and the
// repair sends its row again.
void Outbox::expire_flights(const OutboxTime& now)
{
    const int64_t limit = now.steady_ms - static_cast<int64_t>(rules_.replay_after_s * 1000);
    for (auto f = flights_.begin(); f != flights_.end();) {
        if (f->second.sent_ms >= limit) {
            ++f;
            continue;
        }
        in_flight_[index_of(f->second.stream)].erase(f->second.seq);
        f = flights_.erase(f);
    }
}

void Outbox::send_live(OutboxLink& link, const OutboxTime& now)
{
    for (Stream stream : kStreams) {
        const std::size_t i = index_of(stream);
        if (free_window() <= 0) return;
        const OutboxRange range{live_next_[i], INT64_MAX, INT64_MAX, free_window()};
        bool sent = true;
        each_row(link, stream, range, [&](int64_t seq, bool acked, const auto& send_row) {
            if (!sent) return;
            sent = take(send_row(Sending{acked, true, unconfirmed_from_[i]}), stream, seq, now);
            if (sent) live_next_[i] = seq + 1;
        });
    }
}

void Outbox::send_backlog(OutboxLink& link, const OutboxTime& now)
{
    const double elapsed_s = static_cast<double>(now.steady_ms - last_refill_ms_) / 1000;
    tokens_ = std::min<double>(tokens_ + rules_.backlog_per_s * elapsed_s, std::max(1, rules_.inflight));
    last_refill_ms_ = now.steady_ms;
    for (Stream stream : kStreams) {
        const std::size_t i = index_of(stream);
        Backlog& b = backlog_[i];
        const int64_t quota = std::min<int64_t>(free_window(), static_cast<int64_t>(tokens_));
        if (!b.active() || quota <= 0) continue;
        int64_t sent_count = 0;
        int64_t seen = 0;
        bool stopped = false;
        // Rows still in flight are skipped; read enough to get past them.
        const OutboxRange range{b.next, b.end, b.acked_before, quota + rules_.inflight};
        int64_t last_done = b.next - 1;
        each_row(link, stream, range, [&](int64_t seq, bool acked, const auto& send_row) {
            ++seen;
            if (stopped) return;
            if (in_flight_[i].count(seq) == 0) {
                const bool replay = acked || b.repair();
                if (sent_count >= quota || !take(send_row(Sending{replay, false, unconfirmed_from_[i]}), stream, seq, now)) {
                    stopped = true;
                    return;
                }
                ++sent_count;
                if (replay) ++stats_.replayed_total;
            }
            last_done = seq;
        });
        // A read that came back short and was not cut off reached the range's end.
        b.next = (!stopped && seen < range.limit) ? b.end + 1 : last_done + 1;
        tokens_ -= static_cast<double>(sent_count);
    }
}

// Rows acknowledged by the broker but not confirmed by the centre within
// replay_after_s (a broker that lost them, a centre that was away) go again.
void Outbox::check_repairs(const OutboxTime& now)
{
    if (next_repair_check_ms_ && now.steady_ms < *next_repair_check_ms_) return;
    next_repair_check_ms_ = now.steady_ms + kRepairCheckEveryMs;
    const int64_t cut = now.utc_ms - static_cast<int64_t>(rules_.replay_after_s * 1000);
    for (Stream stream : kStreams) {
        const std::size_t i = index_of(stream);
        if (backlog_[i].active()) continue;
        const OutboxRange range{unconfirmed_from_[i], live_next_[i] - 1, cut, rules_.inflight + 1};
        std::optional<int64_t> first;
        const auto consider = [&](int64_t seq) {
            if (!first && in_flight_[i].count(seq) == 0) first = seq;
        };
        if (stream == Stream::Records)
            rows_.each_record(range, [&](const StoredRecord& r) { consider(r.seq); });
        else
            rows_.each_event(range, [&](const StoredEvent& e) { consider(e.seq); });
        if (first) backlog_[i] = Backlog{*first, live_next_[i] - 1, cut};
    }
}

}  // namespace agent
