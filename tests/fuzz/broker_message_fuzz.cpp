// Feeds arbitrary payloads to the readers of what arrives from the broker:
// the agent's confirmation and the ingest's record and event. A payload
// read as good must hold what the reader promises (seqs and ids in range,
// the declared gap not past the seq, a record of exactly one record's
// bytes), and read back the same once written again (a record in either
// form, JSON or compact); anything else must be
// refused with a reason, nothing thrown.
//
// Input format: a selector byte (% 3: confirm, record, event), the payload.
#include "agent/mqtt_messages.hpp"
#include "host/contract.hpp"

#include <cstdint>
#include <cstdlib>

namespace {

using namespace agent::mqtt;

void check(bool holds)
{
    if (!holds) std::abort();
}

void confirm(const uint8_t* data, std::size_t size)
{
    Refused why;
    const std::optional<Confirm> c = parse_confirm(data, size, why);
    if (!c) return check(!why.why.empty());
    check(c->record_seq >= 0 && c->record_seq <= kMaxSeq && c->event_seq >= 0 && c->event_seq <= kMaxSeq);
    const std::string again = confirm_payload(*c);
    const std::optional<Confirm> back = parse_confirm(again.data(), again.size(), why);
    check(back && back->store == c->store && back->record_seq == c->record_seq && back->event_seq == c->event_seq);
}

void received(TopicKind kind, const uint8_t* data, std::size_t size)
{
    const Topic topic{kind, "site-1", kind == TopicKind::Record ? "unit-1" : kAgentLevel};
    Refused why;
    const std::optional<Received> r = parse_received(topic, data, size, why);
    if (!r) return check(!why.why.empty());
    check(r->seq() >= 1 && r->seq() <= kMaxSeq && r->origin.unconfirmed_from >= 1 &&
          r->origin.unconfirmed_from <= r->seq() && r->origin.site == topic.site);
    std::string again;
    if (r->kind == Received::Kind::Record) {
        check(r->record.body.size() == contract::kRecordSize && r->record.unit == topic.unit);
        check(r->record.slave >= 1 && r->record.slave <= 247 && r->record.device_id >= 0 &&
              r->record.device_id <= 0xFFFFFFFFLL);
        again = record_payload(r->record, r->origin, Json::Value(Json::objectValue), r->replay);
    } else {
        check(r->event.unit.empty());
        again = event_payload(r->event, r->origin, r->replay);
    }
    const std::optional<Received> back = parse_received(topic, again.data(), again.size(), why);
    check(back && back->seq() == r->seq() && back->origin.store == r->origin.store);
    if (r->kind == Received::Kind::Record) check(back->record.body == r->record.body);
    else check(back->event.detail == r->event.detail && back->event.kind == r->event.kind);
    if (r->kind != Received::Kind::Record) return;
    // The compact form carries the same record, whichever form it came in.
    const std::string compact = compact_record_payload(r->record, r->origin, r->replay);
    const std::optional<Received> packed = parse_received(topic, compact.data(), compact.size(), why);
    check(packed && packed->seq() == r->seq() && packed->record.body == r->record.body &&
          packed->origin.unconfirmed_from == r->origin.unconfirmed_from && packed->record.ts_ms == r->record.ts_ms);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    switch (data[0] % 3) {
    case 0:
        confirm(data + 1, size - 1);
        break;
    case 1:
        received(TopicKind::Record, data + 1, size - 1);
        break;
    case 2:
        received(TopicKind::Event, data + 1, size - 1);
        break;
    }
    return 0;
}
