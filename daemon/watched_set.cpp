#include "daemon/watched_set.h"

bool WatchedSet::add(int fd) {
    if (!fits(fd))
        return false;
    FD_SET(fd, &set_);
    if (fd > highest_)
        highest_ = fd;
    return true;
}

void WatchedSet::remove(int fd) {
    if (!contains(fd))
        return;
    FD_CLR(fd, &set_);
    while (highest_ >= 0 && !FD_ISSET(highest_, &set_))
        --highest_;
}

bool WatchedSet::contains(int fd) const { return fits(fd) && FD_ISSET(fd, &set_); }
