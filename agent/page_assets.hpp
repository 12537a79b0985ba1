// The status page's files, built into the agent from agent/page/: it needs
// nothing from any other server.
#pragma once

#include <array>
#include <string_view>

namespace agent {

struct PageAsset {
    const char* path;  // as requested: "/", "/app.js"
    const char* type;  // its Content-Type
    std::string_view body;
};

extern const std::array<PageAsset, 3> kPageAssets;

}  // namespace agent
