#include "driver/QM4700RX2VA9.hpp"

void QM4700RX2VA9::RunCheckThreshold() {}
