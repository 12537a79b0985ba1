// A unit's health in one word: what `qmhost status` prints ("poll.status:
// lost") and what the API's health object names its flags by ("lost": true).
#pragma once

namespace agent {

enum class UnitState { Answering, Failing, Lost, Stale };

struct UnitStateWord {
    UnitState state;
    const char* word;
};

inline constexpr UnitStateWord kUnitStateWords[] = {
    {UnitState::Answering, "answering"},  // its last cycle completed and its record is current
    {UnitState::Failing, "failing"},      // cycles failing in a row, not yet as many as make it lost
    {UnitState::Lost, "lost"},            // taken as lost by its health
    {UnitState::Stale, "stale"},          // no failure, but no current record either
};

constexpr const char* state_word(UnitState state)
{
    for (const UnitStateWord& entry : kUnitStateWords)
        if (entry.state == state) return entry.word;
    return "";
}

}  // namespace agent
