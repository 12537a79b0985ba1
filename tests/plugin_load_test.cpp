// The plug-in loaded as the gateway loads it.
#include "host/framework.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <fstream>
#include <memory>
#include <string>
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

bool mapped(const char* path)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(path) != std::string::npos) return true;
    return false;
}

// A gateway that reloads its plug-ins must get the new file, not the old one
// kept mapped (glibc never unloads a library with STB_GNU_UNIQUE symbols).
TEST(PluginLoad, UnloadsAfterUseAndLoadsAgain)
{
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        void* handle = dlopen(QM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        auto get_providers = reinterpret_cast<GetProviders>(dlsym(handle, "get_providers"));
        ASSERT_NE(get_providers, nullptr) << dlerror();
        {
            auto providers = get_providers();
            auto* factory = dynamic_cast<ZKVSPDeviceProvider*>(providers.front().get());
            ASSERT_NE(factory, nullptr);
            delete factory->create();
        }
        ASSERT_TRUE(mapped(QM_PLUGIN_PATH));
        ASSERT_EQ(dlclose(handle), 0) << dlerror();
        EXPECT_FALSE(mapped(QM_PLUGIN_PATH)) << "still mapped after dlclose";
    }
}

}  // namespace
