#pragma once

#include "host/framework.hpp"

// Creates one driver object per configured device of type "qm4700rx2va9".
class QM4700RX2VA9Provider : public ZKVSPDeviceProvider {
public:
    ~QM4700RX2VA9Provider() override;
    ZKVSPDevice* create() const override;
};
