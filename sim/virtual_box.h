// The virtual box: the devices plugged into it, the udev events they cause,
// and the two serial positions' modem lines. The control socket and the
// virtual platform both work on one VirtualBox.
//
// Thread-safe. Locks: the box's own mutex guards the device registry, the
// node and address numbering and the hot-plug queue; each device has its
// own mutex for its firmware model. The box mutex is never taken while a
// device mutex is held.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "sim/camera_model.h"
#include "sim/control.h"
#include "sim/faults.h"
#include "sim/modem_lines.h"
#include "sim/watcher_hardware.h"
#include "sim/wheel_model.h"

namespace sim {

// The state of a firmware upload into a camera without firmware.
struct FirmwareUpload {
    bool loading = false;
    bool intact = true;        // every record so far continued the image
    uint32_t next_address = 0;  // where the next record must load
};

// The bytes a read() of a camera node delivers: the current readout stream.
struct PendingRead {
    std::mutex mutex;  // taken without Device::mutex, so reads don't wait for commands
    // Wakes a read that waits for an exposure or for its paced bytes: a
    // new stream, or the device left.
    std::condition_variable changed;
    std::optional<ReadoutStream> stream;
    uint64_t streams = 0;  // readout streams started: tells a read its stream was replaced
    std::atomic<bool> unread{false};  // a stream is set: the camera is sending
    uint64_t offset = 0;
    uint64_t end = 0;  // the stream's size, or less under a read fault
    // When the first byte of a stream with a delivery rate went out; the
    // rate is kept from there.
    std::optional<std::chrono::steady_clock::time_point> paced_from;
    // When the last byte of the last stream went out (for benchmarks).
    std::optional<std::chrono::steady_clock::time_point> drained_at;
};

// One plugged USB device: a camera (with its node of the camera driver), a
// standalone wheel or a reset-button interface.
struct Device {
    enum class Kind { camera, wheel, button };

    Device(Kind kind_, uint8_t bus_, uint8_t address_, uint16_t product_);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    std::string usb_path() const;  // "/dev/bus/usb/BBB/DDD"

    const Kind kind;
    const uint8_t bus, address;
    const uint16_t vendor = 0x1347, product;
    std::string node_path;  // cameras: "/dev/telvaN"; fixed once published
    std::atomic<bool> present{true};
    FaultSet faults;
    // Command requests the camera received, and the most that were ever in
    // progress at once (the driver promises one at a time per camera).
    std::atomic<uint64_t> commands_received{0};
    std::atomic<int> commands_in_flight{0};
    std::atomic<int> most_commands_in_flight{0};
    // Commands that arrived while a readout stream was still unread, which
    // the driver must never let happen: the camera is sending an image.
    std::atomic<uint64_t> commands_amid_stream{0};
    // A memory file behind every descriptor of the device: each open is a
    // new open file of it, so flock() between descriptors is the kernel's.
    int backing_fd = -1;

    std::mutex mutex;  // guards what follows, except pending_read
    // Cameras.
    std::unique_ptr<CameraModel> camera;
    std::atomic<bool> firmware_running{true};
    FirmwareUpload upload;
    PendingRead pending_read;
    // Standalone wheels.
    std::unique_ptr<WheelModel> wheel;
    std::condition_variable wheel_answered;
    uint8_t wheel_command = 0xFF;  // of the last bulk OUT, for status faults
    bool interface_claimed = false;
    // Reset buttons: the vendor request 0x81 reads it.
    ButtonInput button;
    bool open_fails = false;  // opening the node is refused (EACCES)
    std::atomic<int64_t> samples_to_leave{-1};  // unplugged when it reaches 0; -1: stays
};

struct BoxSettings {
    std::array<std::string, 2> serial_paths{"/dev/ttyS2", "/dev/ttyS3"};
};

class VirtualBox {
public:
    explicit VirtualBox(const BoxSettings& settings = {});
    ~VirtualBox();
    VirtualBox(const VirtualBox&) = delete;
    VirtualBox& operator=(const VirtualBox&) = delete;

    // Runs one control line. The reply is zero or more lines of output
    // followed by one line beginning "ok" or "error: ", each ending in
    // '\n'. A line that fails changes nothing.
    std::string execute(std::string_view line);

    // The device present under `path` (a camera node or a USB device node);
    // `usb_view` tells which of the two the path named.
    std::shared_ptr<Device> find(std::string_view path, bool& usb_view) const;

    std::vector<std::shared_ptr<Device>> devices() const;

    // A camera that finished a valid firmware upload comes back as a new
    // device with firmware: the old one is removed, the new one added.
    void reenumerate(const std::shared_ptr<Device>& old_device);

    // --- udev monitor ---------------------------------------------------
    // Events are queued only while the monitor is open, as a netlink
    // socket receives only what happens after it was bound.
    bool hotplug_open();
    int hotplug_fd() const;
    bool hotplug_receive(platform::HotplugEvent& event);
    void hotplug_close();

    // --- serial positions -----------------------------------------------
    // 0 and 1: A and B (serial_path); 2: the legacy port and 3: the CDC
    // line of the watcher's hardware.
    static constexpr int LEGACY_POSITION = 2, CDC_POSITION = 3;
    ModemLines& modem(int position) { return modems_[position]; }
    WatcherHardware& watcher() { return watcher_; }
    const std::string& serial_path(int position) const { return settings_.serial_paths[position]; }

private:
    std::string plug_camera(const PlugCamera& plug);
    std::string plug_wheel(const PlugWheel& plug);
    std::string unplug(const std::string& path);
    std::string list() const;
    std::string set_fault(const SetFault& set);
    std::string set_points(const std::string& path) const;
    std::string commands(const std::string& path, bool in_flight) const;
    std::string last_guide(const std::string& path) const;
    std::string pin_cooler(const PinCooler& pin);
    std::string plug_button(const PlugButton& plug);
    std::string press_button(const PressButton& press);
    std::string set_tty(const SetTty& set);

    // Callers hold mutex_.
    std::shared_ptr<Device> add_camera_locked(const CameraProfile& profile);
    void remove_locked(const std::shared_ptr<Device>& device);
    void queue_locked(const char* action, const std::string& node, const Device* usb_device);
    uint8_t next_address_locked();

    const BoxSettings settings_;
    std::array<ModemLines, 4> modems_;
    WatcherHardware watcher_;

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Device>> devices_;
    unsigned next_node_ = 0;
    uint8_t last_address_ = 1;  // 1 is the root hub
    uint32_t next_camera_id_ = 1001;
    uint32_t next_wheel_id_ = 501;
    int hotplug_fd_ = -1;
    std::deque<platform::HotplugEvent> events_;
};

}  // namespace sim
