// The unit's polling chain: 45 reads per cycle, one outstanding at a time.
// Each row names the request and the record field its answer fills; the
// same row drives the copy of the answer and, through the next row, the
// request that follows.
#pragma once

#include "driver/record.hpp"

#include <array>
#include <cstddef>

enum class ReadKind { Bits, Registers };

struct PollRead {
    int step;            // poll step while this read is outstanding
    ReadKind kind;
    int address;
    int count;
    std::size_t offset;  // destination field in the record
    std::size_t size;    // bytes copied from the answer table
    const char* field;   // the field's name, which names the read's source
};

#define QM_POLL(step, kind, address, count, field)                                          \
    PollRead { step, ReadKind::kind, address, count, offsetof(QM4700RX2VA9_Data_t, field),  \
               sizeof(QM4700RX2VA9_Data_t::field), #field }

inline constexpr int kFirstPollStep = 11;

inline constexpr std::array<PollRead, 45> kPollingChain = {{
    QM_POLL(11, Bits, 256, 12, bits_256),
    QM_POLL(12, Registers, 700, 14, regs_700),
    QM_POLL(13, Registers, 1500, 4, regs_1500),
    QM_POLL(14, Registers, 715, 1, regs_715),
    QM_POLL(15, Registers, 732, 1, regs_732),
    QM_POLL(16, Bits, 0, 195, bits_0),
    QM_POLL(17, Bits, 656, 3, bits_656),
    QM_POLL(18, Registers, 0, 1, regs_0),
    QM_POLL(19, Registers, 11, 1, regs_11),
    QM_POLL(20, Registers, 1, 1, regs_1),
    QM_POLL(21, Registers, 13, 1, regs_13),
    QM_POLL(22, Bits, 276, 1, bits_276),
    QM_POLL(23, Bits, 281, 1, bits_281),
    QM_POLL(24, Bits, 277, 1, bits_277),
    QM_POLL(25, Registers, 720, 9, regs_720),
    QM_POLL(26, Registers, 276, 1, regs_276),
    QM_POLL(27, Registers, 275, 1, regs_275),
    QM_POLL(28, Registers, 257, 2, regs_257),
    QM_POLL(29, Registers, 274, 1, regs_274),
    QM_POLL(30, Registers, 719, 1, regs_719),
    QM_POLL(31, Registers, 628, 1, regs_628),
    QM_POLL(32, Registers, 259, 2, regs_259),
    QM_POLL(33, Registers, 256, 1, regs_256),
    QM_POLL(34, Registers, 263, 1, regs_263),
    QM_POLL(35, Registers, 608, 4, regs_608),
    QM_POLL(36, Registers, 615, 3, regs_615),
    QM_POLL(37, Registers, 770, 3, regs_770),
    QM_POLL(38, Registers, 606, 2, regs_606),
    QM_POLL(39, Registers, 604, 1, regs_604),
    QM_POLL(40, Registers, 400, 4, regs_400),
    QM_POLL(41, Registers, 730, 2, regs_730),
    QM_POLL(42, Registers, 624, 1, regs_624),
    QM_POLL(43, Registers, 712, 1, regs_712),
    QM_POLL(44, Registers, 750, 1, regs_750),
    QM_POLL(45, Registers, 754, 5, regs_754),
    QM_POLL(46, Registers, 760, 1, regs_760),
    QM_POLL(47, Registers, 763, 1, regs_763),
    QM_POLL(48, Registers, 2000, 1, regs_2000),
    QM_POLL(49, Registers, 2004, 5, regs_2004),
    QM_POLL(50, Registers, 2010, 1, regs_2010),
    QM_POLL(51, Registers, 2013, 1, regs_2013),
    QM_POLL(52, Bits, 512, 15, bits_512),
    QM_POLL(53, Registers, 127, 15, regs_127),
    QM_POLL(54, Registers, 1516, 8, regs_1516),
    QM_POLL(55, Registers, 261, 6, regs_261),
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

// The chain and the record agree: steps run 11..55, every answer fills its
// field exactly, and the fields follow one another from after dev_id up to
// the time stamp with nothing left out.
constexpr bool chain_matches_record()
{
    std::size_t next_offset = offsetof(QM4700RX2VA9_Data_t, bits_256);
    for (std::size_t i = 0; i < kPollingChain.size(); ++i) {
        const PollRead& r = kPollingChain[i];
        if (r.step != kFirstPollStep + static_cast<int>(i)) return false;
        if (r.size != static_cast<std::size_t>(r.count) * cell_width(r.kind)) return false;
        if (r.offset != next_offset) return false;
        next_offset += r.size;
    }
    return next_offset == offsetof(QM4700RX2VA9_Data_t, time);
}
static_assert(chain_matches_record(), "polling chain and record layout disagree");
static_assert(kLastPollStep == 55, "the chain ends at step 55");

}  // namespace polling_chain_checks
