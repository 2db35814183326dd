#include "platform/platform.h"

#include <cassert>

namespace platform {

namespace {
// Never destroyed at exit: threads that outlive main() (sessions, the probe)
// may still be calling it while the process ends.
Platform* installed = nullptr;
}

Platform& current() {
    assert(installed && "platform::install() must run first");
    return *installed;
}

void install(std::unique_ptr<Platform> platform) {
    delete installed;
    installed = platform.release();
}

}  // namespace platform
