#include "tools/qmhost/control_outcome.hpp"

#include "host/contract.hpp"

ControlExit control_exit(const ControlResult& result, std::string& why)
{
    if (!result.wrote) {
        why = "the driver sent no write: it refused the command's input";
        return kControlRefused;
    }
    if (!result.write_error.empty()) {
        why = "no answer to the write: " + result.write_error;
        return kControlNoAnswer;
    }
    if (!result.outcome) {
        why = "the driver did not answer the outcome query (DeviceIoControl returned " +
              std::to_string(result.query_returned) + ")";
        return kControlFailed;
    }
    switch (*result.outcome) {
    case contract::kControlConfirmed:
        return kControlConfirmed;
    case contract::kControlNotConfirmed:
        why = "the unit did not confirm the write (control result 3)";
        return kControlNotConfirmed;
    case contract::kControlPending:
        why = "no answer to the write (control result -1)";
        return kControlNoAnswer;
    default:
        why = "the driver reports an unknown control result " + std::to_string(*result.outcome);
        return kControlFailed;
    }
}
