#include "driver/QM4700RX2VA9.hpp"
