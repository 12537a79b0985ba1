// The driver plug-in, loaded the way the gateway loads it: dlopen, then
// get_providers, then one device per create() of its device provider.
#pragma once

#include "host/framework.hpp"

#include <memory>
#include <string>
#include <vector>

class PluginLibrary {
public:
    // Throws std::runtime_error with dlerror's text when the file cannot be
    // loaded or does not export get_providers with a device provider.
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // A new driver; the library must outlive it.
    std::unique_ptr<ZKVSPDevice> create_device() const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    void* handle_ = nullptr;
    std::vector<std::shared_ptr<Provider>> providers_;
    ZKVSPDeviceProvider* factory_ = nullptr;
};

// The plug-in file next to the running program.
std::string default_plugin_path();
// The plug-in file `given` on the command line, or the one next to the
// running program when none was.
std::string plugin_path(const std::string& given);
