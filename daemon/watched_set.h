// The descriptors the main loop waits on.
#pragma once

#include <sys/select.h>

class WatchedSet {
public:
    WatchedSet() { FD_ZERO(&set_); }

    // Adds a descriptor; false (and nothing added) when it can't be watched
    // with select(), that is when it is negative or not below FD_SETSIZE.
    bool add(int fd);

    // Removes a descriptor and lowers highest() to the highest one left.
    void remove(int fd);

    bool contains(int fd) const;

    // The highest watched descriptor, -1 when the set is empty.
    int highest() const { return highest_; }

    // A copy for select() to overwrite.
    fd_set snapshot() const { return set_; }

    static bool fits(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

private:
    fd_set set_;
    int highest_ = -1;
};
