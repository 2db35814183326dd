#include "platform/platform.h"

#include <cassert>
#include <utility>

namespace platform {

namespace {
std::unique_ptr<Platform> installed;
}

Platform& current() {
    assert(installed && "platform::install() must run first");
    return *installed;
}

void install(std::unique_ptr<Platform> platform) { installed = std::move(platform); }

}  // namespace platform
