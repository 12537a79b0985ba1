#include "hosting/plugin_library.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <stdexcept>

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

constexpr const char* kPluginFile = "qm4700rx2va9.so";

std::string last_dl_error()
{
    const char* text = dlerror();
    return text ? text : "unknown dlopen error";
}

std::string program_folder()
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    std::string dir(self, static_cast<std::size_t>(n));
    dir.resize(dir.rfind('/') + 1);
    return dir;
}

}  // namespace

PluginLibrary::PluginLibrary(const std::string& path) : path_(path)
{
    // RTLD_LOCAL: the plug-in's own symbols stay its own; the host's come
    // from this program, which links libzkvhost.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error("cannot load plug-in: " + last_dl_error());
    auto get_providers = reinterpret_cast<GetProviders>(dlsym(handle_, "get_providers"));
    if (!get_providers) {
        const std::string why = last_dl_error();
        dlclose(handle_);
        throw std::runtime_error("plug-in " + path + " has no get_providers: " + why);
    }
    providers_ = get_providers();
    for (const auto& provider : providers_)
        if ((factory_ = dynamic_cast<ZKVSPDeviceProvider*>(provider.get()))) break;
    if (!factory_) {
        providers_.clear();
        dlclose(handle_);
        throw std::runtime_error("plug-in " + path + " offers no device provider");
    }
}

PluginLibrary::~PluginLibrary()
{
    // The providers' code lives in the library: release them first.
    providers_.clear();
    dlclose(handle_);
}

std::unique_ptr<ZKVSPDevice> PluginLibrary::create_device() const
{
    std::unique_ptr<ZKVSPDevice> device(factory_->create());
    if (!device) throw std::runtime_error("plug-in " + path_ + " created no device");
    return device;
}

std::string default_plugin_path()
{
    // Next to the program in a build folder; installed, in the private
    // library folder relative to it, wherever the installation was moved.
    const std::string dir = program_folder();
    const std::string beside = dir + kPluginFile;
    if (dir.empty() || access(beside.c_str(), F_OK) == 0) return beside;
    return dir + QM_PLUGIN_DIR_FROM_PROGRAM "/" + kPluginFile;
}

std::string plugin_path(const std::string& given) { return given.empty() ? default_plugin_path() : given; }
