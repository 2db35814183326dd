#include "common/read_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/unique_fd.h"

FileRead read_whole_file(const std::string& path, size_t limit, std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return FileRead::open_failed;
    text.clear();
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return FileRead::read_failed;
        if (n == 0)
            return FileRead::ok;
        if (text.size() + static_cast<size_t>(n) > limit) {
            errno = EFBIG;
            return FileRead::too_big;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
}
