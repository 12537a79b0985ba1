// How one unit has been answering, for poll and serve alike: failures in a
// row, taken as lost after a few, and its attempts then spaced out by a
// pause that doubles up to a bound until it answers again.
#pragma once

#include "hosting/hosted_device.hpp"

#include <algorithm>
#include <chrono>
#include <string>

class UnitHealth {
public:
    using Clock = std::chrono::steady_clock;
    // Failed cycles in a row before a unit is taken as lost.
    static constexpr int kLostAfter = 3;
    static constexpr auto kFirstPause = std::chrono::milliseconds(250);
    static constexpr auto kLongestPause = std::chrono::seconds(10);

    enum class Failure {
        Counted,    // not lost yet: worth a line of its own
        Lost,       // this failure made it lost
        StillLost,  // lost before; not told again
    };

    // A completed cycle; true when the unit had been lost (failed_in_row()
    // still says for how many cycles, until reset()).
    bool answered() const { return lost_; }
    void reset() { *this = UnitHealth{}; }
    // Lost before a restart after `failed` cycles: it stays lost (not told
    // again) until it answers.
    void resume_lost(long failed)
    {
        lost_ = true;
        failed_in_row_ = std::max(failed, long{kLostAfter});
    }
    Failure failed(const CycleResult& result);

    // No attempt before this.
    Clock::time_point resume_at() const { return resume_at_; }
    bool due(Clock::time_point now) const { return resume_at_ <= now; }
    long failed_in_row() const { return failed_in_row_; }
    bool lost() const { return lost_; }

    // Why it counts as lost: gone, or failing at one step it seems not to have.
    std::string lost_text(const CycleResult& result) const;

private:
    long failed_in_row_ = 0;
    bool lacks_the_block(const CycleResult& result) const;

    long same_step_in_row_ = 0;  // failures in a row at one step, of one kind
    int last_step_ = -1;
    LinkFailure last_failure_;
    bool lost_ = false;
    Clock::duration pause_{};
    Clock::time_point resume_at_{};
};
