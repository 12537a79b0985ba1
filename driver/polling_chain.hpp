// The unit's polling chain: 45 reads per cycle, one outstanding at a time.
// Each row is the record field its answer fills; the field's name gives the
// read ("regs_700": registers from 700, "bits_256": coils from 256), its
// size the count, and the row's position the poll step. The same row drives
// the copy of the answer and, through the next row, the request that follows.
#pragma once

#include "driver/record.hpp"

#include <array>
#include <cstddef>

enum class ReadKind { Bits, Registers };

struct PollRead {
    ReadKind kind;
    int address;
    int count;
    std::size_t offset;  // destination field in the record
    std::size_t size;    // bytes copied from the answer table
    const char* field;   // the field's name, which names the read's source
};

namespace polling_chain_detail {

constexpr bool starts_with(const char* text, const char* prefix)
{
    for (; *prefix != '\0'; ++text, ++prefix)
        if (*text != *prefix) return false;
    return true;
}

// "bits_N" or "regs_N"; anything else makes no read, which the checks below
// refuse at compile time.
constexpr PollRead read_of_field(const char* field, std::size_t offset, std::size_t size)
{
    const bool bits = starts_with(field, "bits_");
    if (!bits && !starts_with(field, "regs_")) return {ReadKind::Bits, -1, 0, offset, size, field};
    int address = 0;
    const char* digit = field + 5;
    if (*digit == '\0') address = -1;
    for (; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return {ReadKind::Bits, -1, 0, offset, size, field};
        address = address * 10 + (*digit - '0');
    }
    const std::size_t width = bits ? 1 : 2;
    return {bits ? ReadKind::Bits : ReadKind::Registers, address, static_cast<int>(size / width), offset,
            size, field};
}

}  // namespace polling_chain_detail

#define QM_POLL(field)                                                                    \
    polling_chain_detail::read_of_field(#field, offsetof(QM4700RX2VA9_Data_t, field),     \
                                        sizeof(QM4700RX2VA9_Data_t::field))

inline constexpr int kFirstPollStep = 11;

inline constexpr std::array<PollRead, 45> kPollingChain = {{
    QM_POLL(bits_256),
    QM_POLL(regs_700),
    QM_POLL(regs_1500),
    QM_POLL(regs_715),
    QM_POLL(regs_732),
    QM_POLL(bits_0),
    QM_POLL(bits_656),
    QM_POLL(regs_0),
    QM_POLL(regs_11),
    QM_POLL(regs_1),
    QM_POLL(regs_13),
    QM_POLL(bits_276),
    QM_POLL(bits_281),
    QM_POLL(bits_277),
    QM_POLL(regs_720),
    QM_POLL(regs_276),
    QM_POLL(regs_275),
    QM_POLL(regs_257),
    QM_POLL(regs_274),
    QM_POLL(regs_719),
    QM_POLL(regs_628),
    QM_POLL(regs_259),
    QM_POLL(regs_256),
    QM_POLL(regs_263),
    QM_POLL(regs_608),
    QM_POLL(regs_615),
    QM_POLL(regs_770),
    QM_POLL(regs_606),
    QM_POLL(regs_604),
    QM_POLL(regs_400),
    QM_POLL(regs_730),
    QM_POLL(regs_624),
    QM_POLL(regs_712),
    QM_POLL(regs_750),
    QM_POLL(regs_754),
    QM_POLL(regs_760),
    QM_POLL(regs_763),
    QM_POLL(regs_2000),
    QM_POLL(regs_2004),
    QM_POLL(regs_2010),
    QM_POLL(regs_2013),
    QM_POLL(bits_512),
    QM_POLL(regs_127),
    QM_POLL(regs_1516),
    QM_POLL(regs_261),
}};
#undef QM_POLL

inline constexpr int kLastPollStep = kFirstPollStep + static_cast<int>(kPollingChain.size()) - 1;

// The read outstanding at `step`, or nullptr outside the cycle's steps.
constexpr const PollRead* poll_read_at(int step)
{
    return step >= kFirstPollStep && step <= kLastPollStep
               ? &kPollingChain[static_cast<std::size_t>(step - kFirstPollStep)]
               : nullptr;
}

namespace polling_chain_checks {

constexpr std::size_t cell_width(ReadKind kind) { return kind == ReadKind::Bits ? 1 : 2; }

// The chain and the record agree: every field names a read, every answer
// fills its field exactly, and the fields follow one another from after
// dev_id up to the time stamp with nothing left out.
constexpr bool chain_matches_record()
{
    std::size_t next_offset = offsetof(QM4700RX2VA9_Data_t, bits_256);
    for (std::size_t i = 0; i < kPollingChain.size(); ++i) {
        const PollRead& r = kPollingChain[i];
        if (r.address < 0 || r.count < 1) return false;
        if (r.size != static_cast<std::size_t>(r.count) * cell_width(r.kind)) return false;
        if (r.offset != next_offset) return false;
        next_offset += r.size;
    }
    return next_offset == offsetof(QM4700RX2VA9_Data_t, time);
}
static_assert(chain_matches_record(), "polling chain and record layout disagree");
static_assert(kLastPollStep == 55, "the chain ends at step 55");

}  // namespace polling_chain_checks
