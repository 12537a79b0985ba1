#include "hosting/control_outcome.hpp"

#include "host/contract.hpp"

ExitStatus control_exit(const ControlResult& result, std::string& why)
{
    if (!result.wrote) {
        why = "the driver sent no write: it refused the command's input";
        return ExitStatus::kRefused;
    }
    if (result.write_failure) {
        why = result.stopped ? kStoppedBeforeAnswer : "no answer to the write: " + result.write_failure->text();
        return ExitStatus::kNoAnswer;
    }
    if (!result.outcome) {
        why = "the driver did not answer the outcome query (DeviceIoControl returned " +
              std::to_string(result.query_returned) + ")";
        return ExitStatus::kFailed;
    }
    switch (*result.outcome) {
    case contract::kControlConfirmed:
        return ExitStatus::kOk;
    case contract::kControlNotConfirmed:
        why = "the unit did not confirm the write (control result 3)";
        return ExitStatus::kNotConfirmed;
    case contract::kControlPending:
        why = result.stopped ? kStoppedBeforeAnswer : "no answer to the write (control result -1)";
        return ExitStatus::kNoAnswer;
    default:
        why = "the driver reports an unknown control result " + std::to_string(*result.outcome);
        return ExitStatus::kFailed;
    }
}
