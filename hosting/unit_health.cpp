#include "hosting/unit_health.hpp"

#include <algorithm>

UnitHealth::Failure UnitHealth::failed(const CycleResult& result)
{
    ++failed_in_row_;
    const bool same = result.failed_step == last_step_ && result.failure.kind == last_failure_.kind &&
                      result.failure.exception_code == last_failure_.exception_code;
    same_step_in_row_ = same ? same_step_in_row_ + 1 : 1;
    last_step_ = result.failed_step;
    last_failure_ = result.failure;
    Failure failure = Failure::StillLost;
    if (!lost_) {
        if (failed_in_row_ < kLostAfter) return Failure::Counted;
        lost_ = true;
        failure = Failure::Lost;
    }
    pause_ = pause_ == Clock::duration::zero() ? Clock::duration(kFirstPause)
                                               : std::min<Clock::duration>(2 * pause_, kLongestPause);
    resume_at_ = Clock::now() + pause_;
    return failure;
}

// A unit that refuses one of the cycle's requests every time, or leaves it
// unanswered while it answers the others, lacks what that one reads;
// otherwise it is gone.
bool UnitHealth::lacks_the_block(const CycleResult& result) const
{
    using Kind = LinkFailure::Kind;
    const Kind kind = result.failure.kind;
    return same_step_in_row_ >= kLostAfter &&
           (kind == Kind::Exception || (kind == Kind::NoAnswer && result.answered > 0));
}

std::string UnitHealth::lost_text(const CycleResult& result) const
{
    if (lacks_the_block(result))
        return "step " + std::to_string(result.failed_step) + " (" + result.failure.request + ") failed in " +
               std::to_string(same_step_in_row_) +
               " cycles in a row while the unit answers the others: the unit seems not to have them";
    return "unit lost: " + std::to_string(failed_in_row_) + " cycles failed in a row";
}
