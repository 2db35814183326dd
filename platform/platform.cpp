#include "platform/platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>

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

ssize_t read_host_file(const char* path, void* buffer, size_t size, bool& opened) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    opened = fd >= 0;
    if (fd < 0)
        return -1;
    const ssize_t count = read(fd, buffer, size);
    const int saved = errno;
    close(fd);
    errno = saved;
    return count;
}

}  // namespace platform
