// The plug-in's entry point: the host loads the library and asks it for its
// device providers.
#include "plugin/QM4700RX2VA9Provider.hpp"

#include "driver/QM4700RX2VA9.hpp"

#include <memory>
#include <vector>

QM4700RX2VA9Provider::~QM4700RX2VA9Provider() = default;

ZKVSPDevice* QM4700RX2VA9Provider::create() const { return new QM4700RX2VA9(); }

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers()
{
    std::vector<std::shared_ptr<Provider>> providers;
    providers.push_back(std::make_shared<QM4700RX2VA9Provider>());
    return providers;
}
