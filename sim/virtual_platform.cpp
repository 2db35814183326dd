#include "sim/virtual_platform.h"

#include <fcntl.h>
#include <libusb.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "driver/camera_abi.h"
#include "sim/control_server.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// What the camera driver accepts in one command record: a request fits a
// USB packet, a response the driver's bounce buffer.
constexpr uint64_t MAX_REQUEST_BYTES = 4096;
constexpr uint64_t MAX_RESPONSE_BYTES = 65536;
constexpr uint32_t CONTROLLER_MEMORY = 0x10000;

struct VirtualUsbHandle {
    std::shared_ptr<Device> device;
    bool claimed = false;
};

int fail(int error) {
    errno = error;
    return -1;
}

class VirtualPlatform final : public platform::Platform {
public:
    VirtualPlatform(std::shared_ptr<VirtualBox> box, std::unique_ptr<ControlServer> server)
        : box_(std::move(box)), server_(std::move(server)) {
        for (auto& slot : serial_fds_)
            slot = -1;
    }

    ~VirtualPlatform() override {
        server_.reset();
        hotplug_close();
        for (VirtualUsbHandle* handle : handles_)
            delete handle;
    }

    // --- USB -------------------------------------------------------------
    int usb_init() override { return 0; }
    void usb_exit() override {}
    std::string usb_error_text(int code) const override { return libusb_strerror(code); }
    std::string usb_error_name(int code) const override { return libusb_error_name(code); }

    int usb_list_devices(std::vector<platform::UsbDeviceEntry>& devices) override {
        devices.clear();
        devices.push_back({1, 1, true, 0x1d6b, 0x0002});  // the root hub
        for (const auto& device : box_->devices())
            devices.push_back({device->bus, device->address, true, device->vendor, device->product});
        return 0;
    }

    int usb_wrap_sys_device(int fd, platform::UsbHandle** handle) override {
        bool usb_view = false;
        std::shared_ptr<Device> device = open_file(fd, usb_view);
        *handle = nullptr;
        if (!device || !usb_view)
            return LIBUSB_ERROR_IO;  // not a usbfs node
        if (!device->present)
            return LIBUSB_ERROR_NO_DEVICE;
        auto* wrapped = new VirtualUsbHandle{std::move(device), false};
        std::lock_guard lock(mutex_);
        handles_.insert(wrapped);
        *handle = reinterpret_cast<platform::UsbHandle*>(wrapped);
        return 0;
    }

    int usb_device_ids(platform::UsbHandle* handle, uint16_t& vendor, uint16_t& product) override {
        VirtualUsbHandle* wrapped = live(handle);
        if (!wrapped)
            return LIBUSB_ERROR_INVALID_PARAM;
        // The descriptor is cached at enumeration: it stays readable after
        // the device left.
        vendor = wrapped->device->vendor;
        product = wrapped->device->product;
        return 0;
    }

    int usb_detach_kernel_driver(platform::UsbHandle* handle, int interface) override {
        VirtualUsbHandle* wrapped = live(handle);
        if (!wrapped || interface != 0)
            return wrapped ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_INVALID_PARAM;
        if (!wrapped->device->present)
            return LIBUSB_ERROR_NO_DEVICE;
        // Wheels have no kernel driver; a camera's belongs to the box.
        return wrapped->device->wheel ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_BUSY;
    }

    int usb_claim_interface(platform::UsbHandle* handle, int interface) override {
        VirtualUsbHandle* wrapped = live(handle);
        if (!wrapped)
            return LIBUSB_ERROR_INVALID_PARAM;
        Device& device = *wrapped->device;
        if (interface != 0)
            return LIBUSB_ERROR_NOT_FOUND;
        if (!device.present)
            return LIBUSB_ERROR_NO_DEVICE;
        std::lock_guard lock(device.mutex);
        if (wrapped->claimed)
            return 0;
        if (!device.wheel || device.interface_claimed)
            return LIBUSB_ERROR_BUSY;
        device.interface_claimed = wrapped->claimed = true;
        return 0;
    }

    int usb_release_interface(platform::UsbHandle* handle, int interface) override {
        VirtualUsbHandle* wrapped = live(handle);
        if (!wrapped)
            return LIBUSB_ERROR_INVALID_PARAM;
        if (interface != 0 || !wrapped->claimed)
            return LIBUSB_ERROR_NOT_FOUND;
        release(*wrapped);
        return wrapped->device->present ? 0 : LIBUSB_ERROR_NO_DEVICE;
    }

    int usb_bulk_transfer(platform::UsbHandle* handle, uint8_t endpoint, uint8_t* data, int length, int* transferred,
                          unsigned timeout_ms) override {
        int moved = 0;
        const int result = bulk(live(handle), endpoint, data, length, moved, timeout_ms);
        if (transferred)
            *transferred = moved;
        return result;
    }

    int usb_control_transfer(platform::UsbHandle* handle, uint8_t request_type, uint8_t request, uint16_t value,
                             uint16_t index, uint8_t* data, uint16_t length, unsigned) override {
        VirtualUsbHandle* wrapped = live(handle);
        if (!wrapped)
            return LIBUSB_ERROR_INVALID_PARAM;
        Device& device = *wrapped->device;
        if (!device.present)
            return LIBUSB_ERROR_NO_DEVICE;
        // A reset button answers one vendor request: its state in one
        // byte, 0 while pressed. Everything else on endpoint 0 stalls.
        if (device.kind == Device::Kind::button && request_type == 0xC0 && request == 0x81 && value == 0 &&
            index == 0 && length >= 1) {
            if (!data)
                return LIBUSB_ERROR_INVALID_PARAM;
            data[0] = device.button.sample() ? 0x00 : 0x01;
            if (device.samples_to_leave.fetch_sub(1) == 1)
                box_->execute("unplug " + device.usb_path());
            return 1;
        }
        return LIBUSB_ERROR_PIPE;
    }

    void usb_close(platform::UsbHandle* handle) override {
        VirtualUsbHandle* wrapped = live(handle);
        if (!wrapped)
            return;
        release(*wrapped);
        std::lock_guard lock(mutex_);
        handles_.erase(wrapped);
        delete wrapped;
    }

    // --- hot-plug ---------------------------------------------------------
    platform::HotplugOpen hotplug_open() override {
        return box_->hotplug_open() ? platform::HotplugOpen::ok : platform::HotplugOpen::monitor_failed;
    }
    int hotplug_fd() const override { return box_->hotplug_fd(); }
    bool hotplug_receive(platform::HotplugEvent& event) override { return box_->hotplug_receive(event); }
    void hotplug_close() override { box_->hotplug_close(); }

    // --- nodes ----------------------------------------------------------
    int node_open(const char* path, int flags) override {
        bool usb_view = false;
        std::shared_ptr<Device> device = path ? box_->find(path, usb_view) : nullptr;
        if (!device)
            return fail(ENOENT);
        if (device->open_fails)
            return fail(EACCES);
        // A new open file of the device's memory file: flock() then behaves
        // between these descriptors exactly as between opens of one node.
        const std::string backing = "/proc/self/fd/" + std::to_string(device->backing_fd);
        const int fd = open(backing.c_str(), O_RDWR | O_CLOEXEC | (flags & O_NONBLOCK));
        if (fd < 0)
            return -1;
        std::lock_guard lock(mutex_);
        files_[fd] = {std::move(device), usb_view};
        return fd;
    }

    // A descriptor that is not a virtual node is whatever the kernel has
    // under that number now (a socket, a file, nothing), as it would be for
    // a driver request on real hardware: the call goes to the kernel.
    int node_ioctl(int fd, unsigned long request, void* argument) override {
        bool usb_view = false;
        std::shared_ptr<Device> device = open_file(fd, usb_view);
        if (!device)
            return ioctl(fd, request, argument);
        if (usb_view || !device->camera)
            return fail(ENOTTY);
        if (!device->present)
            return fail(ENODEV);
        if (!argument)
            return fail(EFAULT);
        switch (request) {
        case CAMERA_IOCTL_IDENTIFY: {
            if (device->faults.request_fails(DriverRequest::identify))
                return fail(ENODEV);
            slow_down(*device);
            IdentifyRecord record{};
            record.firmware_state = device->firmware_running ? 1 : 0;
            record.product_id = device->product;
            memcpy(argument, &record, sizeof record);
            return 0;
        }
        case CAMERA_IOCTL_COMMAND: {
            if (device->faults.request_fails(DriverRequest::command))
                return fail(ENODEV);
            const int in_flight = ++device->commands_in_flight;
            int most = device->most_commands_in_flight.load();
            while (in_flight > most && !device->most_commands_in_flight.compare_exchange_weak(most, in_flight)) {
            }
            // A slow bus: the exchange is in progress for the whole wait.
            slow_down(*device);
            const int result = camera_command(*device, *static_cast<CommandRecord*>(argument));
            --device->commands_in_flight;
            return result;
        }
        case CAMERA_IOCTL_FIRMWARE_MODE:
            if (device->faults.request_fails(DriverRequest::firmware_mode))
                return fail(ENODEV);
            slow_down(*device);
            return firmware_mode(device, *static_cast<const int32_t*>(argument));
        case CAMERA_IOCTL_FIRMWARE_RECORD:
            if (device->faults.request_fails(DriverRequest::firmware_record))
                return fail(ENODEV);
            slow_down(*device);
            return firmware_record(*device, *static_cast<const FirmwareRecord*>(argument));
        default:
            return fail(ENOTTY);
        }
    }

    ssize_t node_read(int fd, void* buffer, size_t length) override {
        bool usb_view = false;
        std::shared_ptr<Device> device = open_file(fd, usb_view);
        if (!device)
            return read(fd, buffer, length);
        if (usb_view || !device->camera)
            return fail(EINVAL);
        if (!device->present)
            return fail(ENODEV);
        PendingRead& pending = device->pending_read;
        std::unique_lock lock(pending.mutex);
        // The camera sends nothing while its exposure runs; the driver's
        // read waits for the first bytes.
        while (pending.stream && device->present && Clock::now() < pending.stream->start)
            pending.changed.wait_until(lock, pending.stream->start);
        if (!device->present)
            return fail(ENODEV);
        // The driver waits for the camera's bulk data and gives up; with
        // no readout started nothing will ever come.
        if (!pending.stream)
            return fail(ETIMEDOUT);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, pending.end - pending.offset));
        if (n > 0 && !buffer)
            return fail(EFAULT);
        // The bytes leave at the camera's rate, counted from the first read:
        // making them takes part of the time they would take to arrive.
        const double rate = pending.stream->bytes_per_second;
        if (rate > 0 && !pending.paced_from)
            pending.paced_from = Clock::now();
        if (n > 0)
            pending.stream->fill(pending.offset, static_cast<uint8_t*>(buffer), n);
        pending.offset += n;
        const bool last = pending.offset >= pending.end;
        if (rate > 0) {
            // The bytes are on their way until `due`; a camera unplugged
            // meanwhile fails the read under way at once, as the kernel
            // driver's transfer fails.
            const auto due = *pending.paced_from + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(pending.offset / rate));
            const uint64_t stream = pending.streams;
            pending.changed.wait_until(lock, due, [&] { return !device->present; });
            if (!device->present)
                return fail(ENODEV);
            if (pending.streams != stream)
                return static_cast<ssize_t>(n);  // a new readout began meanwhile: it is not ours to end
        }
        if (last) {
            pending.stream.reset();
            pending.unread = false;
            pending.drained_at = Clock::now();
        }
        return static_cast<ssize_t>(n);
    }

    int node_flock(int fd, int operation) override {
        return flock(fd, operation);
    }

    int node_close(int fd) override {
        {
            std::lock_guard lock(mutex_);
            files_.erase(fd);
        }
        return close(fd);
    }

    int list_dev(std::vector<std::string>& names) override {
        names = {".", "..", "bus", "char", "console", "log", "null", "ptmx", "pts", "random",
                 "shm", "ttyS0", "ttyS1", "ttyS2", "ttyS3", "urandom", "zero"};
        for (const auto& device : box_->devices()) {
            if (!device->node_path.empty())
                names.push_back(device->node_path.substr(strlen("/dev/")));
        }
        return 0;
    }

    // --- serial ---------------------------------------------------------
    int serial_open(const char* path, int flags) override {
        WatcherHardware& watcher = box_->watcher();
        int fd = -1;
        int box_line = -1;  // the position of a line the box itself provides
        if (path && watcher.legacy.path() == path) {
            fd = watcher.legacy.open(flags);
            box_line = VirtualBox::LEGACY_POSITION;
        } else if (path && watcher.cdc.path() == path) {
            fd = watcher.cdc.open(flags);
            box_line = VirtualBox::CDC_POSITION;
        } else {
            fd = open(path, flags);
        }
        if (fd < 0)
            return fd;
        for (int position = 0; position < 4; ++position) {
            if (position == box_line ? false : (position >= 2 || box_->serial_path(position) != path))
                continue;
            for (size_t slot = 0; slot < serial_fds_.size(); ++slot) {
                // Reserve the slot, then publish the position before the fd
                // that lookups match on.
                int expected = -1;
                if (serial_fds_[slot].compare_exchange_strong(expected, -2)) {
                    serial_positions_[slot] = position;
                    serial_fds_[slot] = fd;
                    box_->modem(position).opened();
                    return fd;
                }
            }
            close(fd);
            return fail(EMFILE);
        }
        return fd;
    }

    // Lock-free from here to the line model: a caller may be cancelled
    // asynchronously inside TIOCMIWAIT.
    int serial_ioctl(int fd, unsigned long request, void* argument) override {
        const int position = serial_position(fd);
        if (position < 0)
            return ioctl(fd, request, argument);
        ModemLines& lines = box_->modem(position);
        switch (request) {
        case TIOCMGET: {
            if (!argument)
                return fail(EFAULT);
            int bits = lines.bits();
            // The reset button of the legacy port pulls DSR up.
            if (position == VirtualBox::LEGACY_POSITION && box_->watcher().legacy_button.sample())
                bits |= TIOCM_DSR;
            *static_cast<int*>(argument) = bits;
            return 0;
        }
        case TIOCMBIS:
        case TIOCMBIC:
        case TIOCMSET: {
            if (!argument)
                return fail(EFAULT);
            const int mask = *static_cast<const int*>(argument);
            if (request == TIOCMSET)
                lines.lower_outputs(~mask);
            if (request != TIOCMBIC)
                lines.raise_outputs(mask);
            else
                lines.lower_outputs(mask);
            // A line the box provides sends what it holds once DTR rises.
            if (request != TIOCMBIC && (mask & TIOCM_DTR)) {
                if (position == VirtualBox::LEGACY_POSITION)
                    box_->watcher().legacy.dtr_raised();
                else if (position == VirtualBox::CDC_POSITION)
                    box_->watcher().cdc.dtr_raised();
            }
            return 0;
        }
        case TIOCMIWAIT: {
            const int mask = static_cast<int>(reinterpret_cast<uintptr_t>(argument));
            const SerialWait wait{this, fd};
            return lines.wait_change(
                mask, [](const void* context) {
                    const auto* w = static_cast<const SerialWait*>(context);
                    return w->platform->serial_position(w->fd) >= 0;
                },
                &wait);
        }
        case TIOCGICOUNT: {
            if (!argument)
                return fail(EFAULT);
            const serial_icounter_struct counters = lines.counters();
            memcpy(argument, &counters, sizeof counters);
            return 0;
        }
        case TIOCSBRK:
        case TIOCCBRK:
            lines.set_break(request == TIOCSBRK);
            return 0;
        default:
            return ioctl(fd, request, argument);
        }
    }

    int serial_close(int fd) override {
        for (size_t slot = 0; slot < serial_fds_.size(); ++slot) {
            int expected = fd;
            if (serial_fds_[slot].compare_exchange_strong(expected, -1)) {
                box_->modem(serial_positions_[slot]).closed();
                break;
            }
        }
        return close(fd);
    }

    // --- system files ----------------------------------------------------
    ssize_t read_system_file(const char* path, void* buffer, size_t size, bool& opened) override {
        if (path && strcmp(path, BOARD_NAME_PATH) == 0)
            return box_->watcher().read_board(buffer, size, opened);
        return platform::read_host_file(path, buffer, size, opened);
    }

    // --- I/O ports --------------------------------------------------------
    // The kernel keeps the permission per thread; so does the box.
    int io_permission(unsigned long from, unsigned long count, int turn_on) override {
        if (from + count < from || from + count > IO_PORTS)
            return fail(EINVAL);
        if (turn_on && !has_raw_io())
            return fail(EPERM);
        if (!io_allowed_)
            io_allowed_ = std::make_unique<std::bitset<IO_PORTS>>();
        for (unsigned long port = from; port < from + count; ++port)
            io_allowed_->set(port, turn_on != 0);
        return 0;
    }

    uint8_t io_in(uint16_t port) override {
        check_io(port);
        return box_->watcher().parallel.read(port);
    }

    void io_out(uint8_t value, uint16_t port) override {
        check_io(port);
        if (port == ParallelPort::DATA)
            box_->watcher().parallel.write_data(value);
    }

private:
    static constexpr size_t IO_PORTS = 65536;
    static thread_local std::unique_ptr<std::bitset<IO_PORTS>> io_allowed_;

    static bool has_raw_io() {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        if (syscall(SYS_capget, &header, data) != 0)
            return false;
        return (data[CAP_SYS_RAWIO / 32].effective & (1u << (CAP_SYS_RAWIO % 32))) != 0;
    }

    // A port the thread was not given faults, as the processor's I/O
    // protection does.
    static void check_io(uint16_t port) {
        if (!io_allowed_ || !io_allowed_->test(port))
            raise(SIGSEGV);
    }

    struct SerialWait {
        const VirtualPlatform* platform;
        int fd;
    };

    // The extra time a delay fault gives a driver request.
    static void slow_down(Device& device) {
        if (auto delay = device.faults.delay_ms())
            std::this_thread::sleep_for(std::chrono::milliseconds(*delay));
    }

    std::shared_ptr<Device> open_file(int fd, bool& usb_view) {
        std::lock_guard lock(mutex_);
        auto it = files_.find(fd);
        if (it == files_.end())
            return nullptr;
        usb_view = it->second.usb_view;
        return it->second.device;
    }

    VirtualUsbHandle* live(platform::UsbHandle* handle) {
        auto* wrapped = reinterpret_cast<VirtualUsbHandle*>(handle);
        std::lock_guard lock(mutex_);
        return handles_.count(wrapped) ? wrapped : nullptr;
    }

    void release(VirtualUsbHandle& handle) {
        std::lock_guard lock(handle.device->mutex);
        if (handle.claimed)
            handle.device->interface_claimed = false;
        handle.claimed = false;
    }

    int serial_position(int fd) const {
        for (size_t slot = 0; slot < serial_fds_.size(); ++slot) {
            if (serial_fds_[slot].load() == fd)
                return serial_positions_[slot].load();
        }
        return -1;
    }

    // The camera driver's command request: the request bytes are copied in
    // from the caller, the answer copied out up to the response capacity,
    // and the count written back.
    int camera_command(Device& device, CommandRecord& record) {
        if (record.request_length > MAX_REQUEST_BYTES || record.response_length > MAX_RESPONSE_BYTES)
            return fail(EINVAL);
        if ((record.request_length && !record.request_address) || (record.response_length && !record.response_address))
            return fail(EFAULT);
        if (!device.firmware_running)
            return fail(EIO);  // a bare controller has no command endpoint
        const auto* request = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(record.request_address));
        std::vector<uint8_t> bytes(request, request + record.request_length);
        ++device.commands_received;
        if (device.pending_read.unread)
            ++device.commands_amid_stream;
        Answer answer;
        {
            std::lock_guard lock(device.mutex);
            answer = device.camera->command(bytes);
        }
        if (!answer.bytes.empty()) {
            if (auto status = device.faults.status_for(bytes.empty() ? 0xFF : bytes[0]))
                answer.bytes[0] = *status;
        }
        if (answer.readout) {
            PendingRead& pending = device.pending_read;
            std::lock_guard lock(pending.mutex);
            pending.end = std::min<uint64_t>(answer.readout->size, device.faults.read_limit().value_or(UINT64_MAX));
            pending.offset = 0;
            pending.paced_from.reset();
            pending.stream = std::move(answer.readout);
            ++pending.streams;
            if (pending.end == 0)
                pending.stream.reset();
            pending.unread = pending.stream.has_value();
            pending.changed.notify_all();
        }
        const size_t n = std::min<size_t>(answer.bytes.size(), record.response_length);
        if (n > 0)
            memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(record.response_address)), answer.bytes.data(), n);
        record.response_length = n;
        return 0;
    }

    int firmware_mode(const std::shared_ptr<Device>& device, int32_t mode) {
        bool complete = false;
        {
            std::lock_guard lock(device->mutex);
            FirmwareUpload& upload = device->upload;
            if (device->firmware_running || (mode != 0 && mode != 1) || (mode == 0 && !upload.loading))
                return fail(EINVAL);
            if (mode == 1) {
                upload = FirmwareUpload{true, true, 0};
                return 0;
            }
            const uint32_t expected = firmware_image_bytes(device->product);
            complete = upload.intact && expected != 0 && upload.next_address == expected;
            upload.loading = false;
        }
        // The controller restarts into its firmware and enumerates afresh.
        // The box lock is taken only now, with the device's released.
        if (complete)
            box_->reenumerate(device);
        return 0;
    }

    int firmware_record(Device& device, const FirmwareRecord& record) {
        std::lock_guard lock(device.mutex);
        FirmwareUpload& upload = device.upload;
        if (device.firmware_running || !upload.loading)
            return fail(EINVAL);
        if (record.length == 0 || record.length > FIRMWARE_RECORD_MAX_BYTES || record.data_address == 0 ||
            record.load_address + record.length > CONTROLLER_MEMORY)
            return fail(EINVAL);
        // The bytes are taken, as the driver copies them in; the image's
        // content is the controller's business.
        std::vector<uint8_t> chunk(record.length);
        memcpy(chunk.data(), reinterpret_cast<const void*>(static_cast<uintptr_t>(record.data_address)),
               chunk.size());
        if (record.load_address != upload.next_address)
            upload.intact = false;
        upload.next_address = record.load_address + static_cast<uint32_t>(record.length);
        return 0;
    }

    int bulk(VirtualUsbHandle* handle, uint8_t endpoint, uint8_t* data, int length, int& moved, unsigned timeout_ms) {
        moved = 0;
        if (!handle || length < 0 || (length > 0 && !data))
            return LIBUSB_ERROR_INVALID_PARAM;
        Device& device = *handle->device;
        if (!device.present)
            return LIBUSB_ERROR_NO_DEVICE;
        if (!device.wheel || (endpoint != 0x01 && endpoint != 0x82))
            return LIBUSB_ERROR_NOT_FOUND;
        if (endpoint == 0x01) {
            int64_t count = length;
            if (auto fault = device.faults.bulk(Fault::Kind::bulk_out)) {
                if (*fault < 0)
                    return LIBUSB_ERROR_IO;
                count = std::min<int64_t>(*fault, length);
            }
            std::lock_guard lock(device.mutex);
            device.wheel_command = count > 0 ? data[0] : 0xFF;
            device.wheel->receive(std::vector<uint8_t>(data, data + count), Clock::now());
            device.wheel_answered.notify_all();
            moved = static_cast<int>(count);
            return 0;
        }
        std::unique_lock lock(device.mutex);
        const auto deadline = timeout_ms ? Clock::now() + std::chrono::milliseconds(timeout_ms) : Clock::time_point::max();
        for (;;) {
            if (!device.present)
                return LIBUSB_ERROR_NO_DEVICE;
            const auto now = Clock::now();
            if (device.wheel->answer_pending() && device.wheel->answer_ready() <= now)
                break;
            if (now >= deadline)
                return LIBUSB_ERROR_TIMEOUT;
            auto until = deadline;
            if (device.wheel->answer_pending())
                until = std::min(until, device.wheel->answer_ready());
            device.wheel_answered.wait_until(lock, until);
        }
        std::vector<uint8_t> answer = device.wheel->take_answer();
        const uint8_t command = device.wheel_command;
        lock.unlock();
        if (auto status = device.faults.status_for(command))
            answer[0] = *status;
        if (auto fault = device.faults.bulk(Fault::Kind::bulk_in)) {
            if (*fault < 0)
                return LIBUSB_ERROR_IO;
            answer.resize(std::min<size_t>(answer.size(), static_cast<size_t>(*fault)));
        }
        const size_t n = std::min<size_t>(answer.size(), static_cast<size_t>(length));
        memcpy(data, answer.data(), n);
        moved = static_cast<int>(n);
        // More than the buffer holds, within one packet: libusb reports the
        // babble as an overflow.
        return answer.size() > static_cast<size_t>(length) ? LIBUSB_ERROR_OVERFLOW : 0;
    }

    std::shared_ptr<VirtualBox> box_;
    std::unique_ptr<ControlServer> server_;

    struct OpenFile {
        std::shared_ptr<Device> device;
        bool usb_view = false;
    };
    std::mutex mutex_;  // guards files_ and handles_
    std::map<int, OpenFile> files_;
    std::set<VirtualUsbHandle*> handles_;

    std::array<std::atomic<int>, 32> serial_fds_;
    std::array<std::atomic<int>, 32> serial_positions_{};
};

thread_local std::unique_ptr<std::bitset<VirtualPlatform::IO_PORTS>> VirtualPlatform::io_allowed_;

}  // namespace

std::unique_ptr<platform::Platform> make_virtual_platform(std::shared_ptr<VirtualBox> box) {
    return std::make_unique<VirtualPlatform>(std::move(box), nullptr);
}

bool read_scenario(const std::string& path, std::vector<std::string>& lines, std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    lines.clear();
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return true;
}

bool options_from_command_line(const SimulateArguments& arguments, const char* program, SimulateOptions& options) {
    options.control_socket = arguments.socket;
    if (!arguments.scenario)
        return true;
    options.scenario_name = *arguments.scenario;
    std::string error;
    if (read_scenario(*arguments.scenario, options.scenario, error))
        return true;
    fprintf(stderr, "%s: --simulate: %s\n", program, error.c_str());
    return false;
}

std::unique_ptr<platform::Platform> start_virtual_box(const SimulateOptions& options, std::string& error) {
    auto box = std::make_shared<VirtualBox>(options.box);
    for (size_t i = 0; i < options.scenario.size(); ++i) {
        const std::string& line = options.scenario[i];
        const size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#')
            continue;
        const std::string reply = box->execute(line);
        if (reply.rfind("error: ", 0) == 0 || reply.find("\nerror: ") != std::string::npos) {
            error = options.scenario_name + ":" + std::to_string(i + 1) + ": " +
                    reply.substr(0, reply.size() - 1);
            return nullptr;
        }
    }
    std::unique_ptr<ControlServer> server = ControlServer::start(box, options.control_socket, error);
    if (!server)
        return nullptr;
    return std::make_unique<VirtualPlatform>(std::move(box), std::move(server));
}

}  // namespace sim
