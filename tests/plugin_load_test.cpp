// The plug-in loaded as the gateway loads it.
#include "host/framework.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <memory>
#include <vector>

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

TEST(PluginLoad, CreatesDriversThroughItsProvider)
{
    void* handle = dlopen(QM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto get_providers = reinterpret_cast<GetProviders>(dlsym(handle, "get_providers"));
    ASSERT_NE(get_providers, nullptr) << dlerror();
    {
        std::vector<std::shared_ptr<Provider>> providers = get_providers();
        ASSERT_EQ(providers.size(), 1u);
        auto* factory = dynamic_cast<ZKVSPDeviceProvider*>(providers.front().get());
        ASSERT_NE(factory, nullptr);

        VDeviceInterface* device = factory->create();
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->DeviceType(), "qm4700rx2va9");
        auto* modbus = dynamic_cast<SPModbus*>(device);
        ASSERT_NE(modbus, nullptr);
        EXPECT_EQ(modbus->line_speed(), 9600);
        EXPECT_EQ(modbus->byte_setting(), 1);
        delete device;

        EXPECT_NE(get_providers().front().get(), providers.front().get()) << "a new provider per call";
    }
    dlclose(handle);
}

}  // namespace
