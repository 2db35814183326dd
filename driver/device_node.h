// Opening a device node: a camera node or a USB device node, and the owned
// node that commands and transfers share.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

// Opens `path` read-write through the platform. The descriptor, or the
// negated errno with "open() failed: %s" logged. A path that does not fit a
// buffer of `capacity` bytes is refused the same way, with ENAMETOOLONG.
int open_device_node(const char* path, size_t capacity = SIZE_MAX);

// Logs a failed driver request: "cannot perform ioctl: %s, ret: %d\n".
void log_ioctl_failure(int error);

// An open device node, shared by its record and by everyone who uses it.
// The descriptor is closed (through the platform) when the last holder lets
// go, never earlier: a command or transfer that holds a reference can't
// reach a descriptor number that was closed and handed out again. An
// unplugged node is marked gone; its descriptor stays open until then.
class DeviceNode {
public:
    explicit DeviceNode(int fd) : fd_(fd) {}
    ~DeviceNode() { close(); }
    DeviceNode(const DeviceNode&) = delete;
    DeviceNode& operator=(const DeviceNode&) = delete;

    int fd() const { return fd_; }
    bool gone() const { return gone_.load(); }
    void mark_gone() { gone_.store(true); }

    // Closes the descriptor now: only for a holder that knows nobody else
    // has the node (the destructor does it otherwise). 0, or -errno with
    // "close() failed: %s" logged. A second call does nothing.
    int close();

private:
    int fd_;
    std::atomic<bool> gone_{false};
};

using NodeRef = std::shared_ptr<DeviceNode>;

namespace node_detail {
// The result of the last DeviceNode::close on this thread.
int& closed_here();
}  // namespace node_detail

// Drops a reference to a node (or to an object that owns one). When it was
// the last, the descriptor is closed here and the close's result returned
// (0 or -errno, logged); otherwise the last user closes it later and the
// result is 0. Ordered by the reference count itself, so the closing thread
// sees everything the other users did with the descriptor.
template <typename T>
int drop_reference(std::shared_ptr<T> shared) {
    node_detail::closed_here() = 0;
    shared.reset();
    return std::exchange(node_detail::closed_here(), 0);
}

// open_device_node into an owned node; null with errno set when it failed
// (logged).
NodeRef open_node(const char* path, size_t capacity = SIZE_MAX);

// A record's reference to its shared device object (a node, a wheel's
// port): swapped by the registry, copied by every user for the length of a
// command or transfer. Safe from any thread.
template <typename T>
class SharedSlot {
public:
    std::shared_ptr<T> get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    // Puts `value` in, giving back what was there.
    std::shared_ptr<T> exchange(std::shared_ptr<T> value = {}) {
        std::lock_guard lock(mutex_);
        value_.swap(value);
        return value;
    }
    bool empty() const {
        std::lock_guard lock(mutex_);
        return value_ == nullptr;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<T> value_;
};
