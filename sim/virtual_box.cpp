#include "sim/virtual_box.h"

#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

std::string hex4(uint16_t value) {
    char text[8];
    snprintf(text, sizeof text, "%04x", value);
    return text;
}

std::string ok(const std::string& detail = {}) { return detail.empty() ? "ok\n" : "ok " + detail + "\n"; }
std::string failure(const std::string& reason) { return "error: " + reason + "\n"; }

}  // namespace

Device::Device(Kind kind_, uint8_t bus_, uint8_t address_, uint16_t product_)
    : kind(kind_), bus(bus_), address(address_), product(product_) {
    backing_fd = memfd_create(kind == Kind::camera ? "telva" : "usbdev", MFD_CLOEXEC);
}

Device::~Device() {
    if (backing_fd >= 0)
        close(backing_fd);
}

std::string Device::usb_path() const {
    char path[32];
    snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", bus, address);
    return path;
}

VirtualBox::VirtualBox(const BoxSettings& settings) : settings_(settings) {}

VirtualBox::~VirtualBox() { hotplug_close(); }

std::string VirtualBox::execute(std::string_view line) {
    std::string error;
    const std::optional<ControlCommand> command = parse_control_line(line, error);
    if (!command)
        return failure(error);
    if (auto* plug = std::get_if<PlugCamera>(&*command))
        return plug_camera(*plug);
    if (auto* plug = std::get_if<PlugWheel>(&*command))
        return plug_wheel(*plug);
    if (auto* gone = std::get_if<Unplug>(&*command))
        return unplug(gone->path);
    if (std::holds_alternative<List>(*command))
        return list();
    if (auto* set = std::get_if<SetFault>(&*command))
        return set_fault(*set);
    if (auto* asked = std::get_if<SetPoints>(&*command))
        return set_points(asked->path);
    if (auto* asked = std::get_if<Commands>(&*command))
        return commands(asked->path, asked->in_flight);
    if (auto* asked = std::get_if<LastGuide>(&*command))
        return last_guide(asked->path);
    if (auto* pin = std::get_if<PinCooler>(&*command))
        return pin_cooler(*pin);
    if (auto* plug = std::get_if<PlugButton>(&*command))
        return plug_button(*plug);
    if (auto* press = std::get_if<PressButton>(&*command))
        return press_button(*press);
    if (auto* board = std::get_if<SetBoard>(&*command)) {
        watcher_.set_board(board->file, board->text);
        return ok();
    }
    if (auto* tty = std::get_if<SetTty>(&*command))
        return set_tty(*tty);
    if (auto* parallel = std::get_if<SetParallel>(&*command)) {
        watcher_.parallel.set_present(parallel->present);
        return ok();
    }
    const SetModem& modem = std::get<SetModem>(*command);
    modems_[modem.position].set_inputs(modem.cts, modem.dsr, modem.dcd, modem.ri);
    return ok();
}

std::string VirtualBox::plug_camera(const PlugCamera& plug) {
    std::lock_guard lock(mutex_);
    if (plug.options.id) {
        for (const auto& device : devices_) {
            if (device->camera && device->camera->profile().id == *plug.options.id)
                return failure("camera id " + std::to_string(*plug.options.id) + " is in use");
        }
    }
    CameraProfile profile;
    std::string error;
    if (!make_profile(plug.options, plug.options.id.value_or(next_camera_id_), profile, error))
        return failure(error);
    const uint8_t address = next_address_locked();
    if (address == 0)
        return failure("the USB bus is full");
    if (!plug.options.id)
        ++next_camera_id_;
    return ok(add_camera_locked(profile)->node_path);
}

std::shared_ptr<Device> VirtualBox::add_camera_locked(const CameraProfile& profile) {
    auto device = std::make_shared<Device>(Device::Kind::camera, 1, next_address_locked(), profile.product_id);
    last_address_ = device->address;
    device->node_path = "/dev/telva" + std::to_string(next_node_++);
    device->camera = make_camera_model(profile);
    device->firmware_running = profile.firmware;
    devices_.push_back(device);
    // The USB device appears first; the camera driver then binds to it and
    // creates its node.
    queue_locked("add", device->usb_path(), device.get());
    queue_locked("bind", device->usb_path(), device.get());
    queue_locked("add", device->node_path, nullptr);
    return device;
}

std::string VirtualBox::plug_wheel(const PlugWheel& plug) {
    std::lock_guard lock(mutex_);
    if (plug.id) {
        for (const auto& device : devices_) {
            if (device->wheel && device->wheel->profile().id == *plug.id)
                return failure("wheel id " + std::to_string(*plug.id) + " is in use");
        }
    }
    const uint8_t address = next_address_locked();
    if (address == 0)
        return failure("the USB bus is full");
    WheelProfile profile = plug.profile;
    profile.id = plug.id.value_or(next_wheel_id_);
    if (!plug.id)
        ++next_wheel_id_;
    if (!plug.desc_given)
        profile.desc = profile.filters2 ? "Virtual wheel 2" : "Virtual wheel";
    if (!plug.ser_given) {
        char serial[24];
        snprintf(serial, sizeof serial, "VW%08u", profile.id % 100000000u);
        profile.ser = serial;
    }
    auto device = std::make_shared<Device>(Device::Kind::wheel, 1, address, 0x0CF0);
    last_address_ = address;
    device->wheel = std::make_unique<WheelModel>(profile);
    devices_.push_back(device);
    queue_locked("add", device->usb_path(), device.get());
    queue_locked("bind", device->usb_path(), device.get());
    return ok(device->usb_path());
}

std::string VirtualBox::plug_button(const PlugButton& plug) {
    std::lock_guard lock(mutex_);
    const uint8_t address = next_address_locked();
    if (address == 0)
        return failure("the USB bus is full");
    auto device = std::make_shared<Device>(Device::Kind::button, 1, address, 0x0002);
    last_address_ = address;
    if (plug.pressed)
        device->button.press();
    device->open_fails = plug.open_fails;
    if (plug.leave_after)
        device->samples_to_leave = *plug.leave_after;
    devices_.push_back(device);
    queue_locked("add", device->usb_path(), device.get());
    return ok(device->usb_path());
}

std::string VirtualBox::press_button(const PressButton& press) {
    ButtonInput* input = nullptr;
    std::shared_ptr<Device> device;  // keeps a USB button's input alive
    if (press.where == "ttyS0") {
        input = &watcher_.legacy_button;
    } else if (press.where == "parallel") {
        input = &watcher_.parallel.button;
    } else {
        std::lock_guard lock(mutex_);
        for (const auto& candidate : devices_) {
            if (candidate->kind == Device::Kind::button &&
                (press.where == "usb" || candidate->usb_path() == press.where)) {
                device = candidate;
                break;
            }
        }
        if (!device)
            return failure("no reset button at " + press.where);
        input = &device->button;
    }
    switch (press.action) {
    case PressButton::Action::report: break;
    case PressButton::Action::press: input->press(); break;
    case PressButton::Action::release: input->release(); break;
    case PressButton::Action::tap: input->tap(press.count); break;
    }
    return input->describe() + "\n" + ok();
}

std::string VirtualBox::set_tty(const SetTty& set) {
    BoxTty& tty = set.name == "ttyS0" ? watcher_.legacy : watcher_.cdc;
    if (set.state)
        tty.set_state(*set.state);
    const int position = set.name == "ttyS0" ? LEGACY_POSITION : CDC_POSITION;
    if (set.send && !tty.send(*set.send, (modems_[position].bits() & TIOCM_DTR) != 0))
        return failure(tty.path() + " takes no bytes now");
    static const char* const names[] = {"present", "absent", "nouart", "notty"};
    return std::string(names[static_cast<int>(tty.state())]) + " opens=" + std::to_string(tty.opens()) + "\n" + ok();
}

std::string VirtualBox::unplug(const std::string& path) {
    std::lock_guard lock(mutex_);
    for (const auto& device : devices_) {
        if (device->node_path == path || device->usb_path() == path) {
            remove_locked(device);
            return ok();
        }
    }
    return failure("no device at " + path);
}

void VirtualBox::remove_locked(const std::shared_ptr<Device>& device) {
    device->present = false;
    {
        // A transfer waiting for a wheel's answer learns that the wheel left.
        std::lock_guard device_lock(device->mutex);
        device->wheel_answered.notify_all();
    }
    {
        // So does a read waiting for the end of an exposure or for its
        // bytes: it fails.
        std::lock_guard read_lock(device->pending_read.mutex);
        device->pending_read.changed.notify_all();
    }
    if (device->kind == Device::Kind::camera)
        queue_locked("remove", device->node_path, nullptr);
    queue_locked("unbind", device->usb_path(), nullptr);
    queue_locked("remove", device->usb_path(), nullptr);
    devices_.erase(std::find(devices_.begin(), devices_.end(), device));
}

void VirtualBox::reenumerate(const std::shared_ptr<Device>& old_device) {
    std::lock_guard lock(mutex_);
    if (!old_device->present || next_address_locked() == 0)
        return;
    CameraProfile profile = old_device->camera->profile();
    profile.firmware = true;
    remove_locked(old_device);
    add_camera_locked(profile);
}

uint8_t VirtualBox::next_address_locked() {
    // Addresses are handed out round-robin, as the USB core does, skipping
    // those in use and the root hub's.
    for (unsigned step = 1; step <= 127; ++step) {
        const auto candidate = static_cast<uint8_t>((last_address_ - 2 + step) % 126 + 2);
        const bool used = std::any_of(devices_.begin(), devices_.end(),
                                      [&](const auto& device) { return device->address == candidate; });
        if (!used)
            return candidate;
    }
    return 0;
}

std::string VirtualBox::set_points(const std::string& path) const {
    bool usb_view = false;
    std::shared_ptr<Device> device = find(path, usb_view);
    if (!device || !device->camera)
        return failure("no camera at " + path);
    std::string reply;
    std::lock_guard device_lock(device->mutex);
    for (const auto& received : device->camera->state().set_points_received) {
        char line[64];
        snprintf(line, sizeof line, "%lld %.4f\n", static_cast<long long>(received.at.count()), received.celsius);
        reply += line;
    }
    return reply + ok();
}

std::string VirtualBox::commands(const std::string& path, bool in_flight) const {
    bool usb_view = false;
    std::shared_ptr<Device> device = find(path, usb_view);
    if (!device || !device->camera)
        return failure("no camera at " + path);
    const uint64_t count = in_flight ? static_cast<uint64_t>(device->commands_in_flight.load())
                                     : device->commands_received.load();
    return std::to_string(count) + "\n" + ok();
}

std::string VirtualBox::last_guide(const std::string& path) const {
    bool usb_view = false;
    std::shared_ptr<Device> device = find(path, usb_view);
    if (!device || !device->camera)
        return failure("no camera at " + path);
    std::lock_guard device_lock(device->mutex);
    const auto& guide = device->camera->state().last_guide;
    if (!guide)
        return ok();
    return std::to_string(guide->first) + " " + std::to_string(guide->second) + "\n" + ok();
}

std::string VirtualBox::pin_cooler(const PinCooler& pin) {
    bool usb_view = false;
    std::shared_ptr<Device> device = find(pin.path, usb_view);
    if (!device || !device->camera)
        return failure("no camera at " + pin.path);
    std::lock_guard device_lock(device->mutex);
    device->camera->pin_cooler_cycle(pin.cycle);
    return ok();
}

std::string VirtualBox::list() const {
    std::lock_guard lock(mutex_);
    std::string reply;
    char line[256];
    for (const auto& device : devices_) {
        if (device->camera) {
            const CameraProfile& p = device->camera->profile();
            const ProductFacts facts = device->camera->facts();
            snprintf(line, sizeof line,
                     "camera %s usb=%s pid=%u id=%u type=%d class=%d firmware=%d size=%ux%u filters=%u", 
                     device->node_path.c_str(), device->usb_path().c_str(), p.product_id, p.id, facts.type,
                     facts.camera_class, device->firmware_running ? 1 : 0, p.width, p.height, p.filters);
        } else if (device->kind == Device::Kind::button) {
            snprintf(line, sizeof line, "button %s %s", device->usb_path().c_str(), device->button.describe().c_str());
        } else {
            std::lock_guard device_lock(device->mutex);
            const WheelProfile& p = device->wheel->profile();
            snprintf(line, sizeof line, "wheel %s id=%u filters=%u filters2=%u position=%u,%u",
                     device->usb_path().c_str(), p.id, p.filters, p.filters2, device->wheel->position(),
                     device->wheel->position2());
        }
        reply += line;
        for (const std::string& fault : device->faults.describe())
            reply += " fault=\"" + fault + "\"";
        reply += '\n';
    }
    for (int position = 0; position < 2; ++position) {
        const int bits = modems_[position].bits();
        snprintf(line, sizeof line, "serial %c %s dtr=%d rts=%d cts=%d dsr=%d dcd=%d ri=%d break=%d\n",
                 position == 0 ? 'a' : 'b', settings_.serial_paths[position].c_str(), !!(bits & TIOCM_DTR),
                 !!(bits & TIOCM_RTS), !!(bits & TIOCM_CTS), !!(bits & TIOCM_DSR), !!(bits & TIOCM_CD),
                 !!(bits & TIOCM_RNG), modems_[position].break_on() ? 1 : 0);
        reply += line;
    }
    return reply + ok();
}

std::string VirtualBox::set_fault(const SetFault& set) {
    bool usb_view = false;
    const std::shared_ptr<Device> device = find(set.path, usb_view);
    if (!device)
        return failure("no device at " + set.path);
    if (!set.fault) {
        device->faults.clear();
        return ok();
    }
    const Fault& fault = *set.fault;
    const bool camera_only = fault.kind == Fault::Kind::request || fault.kind == Fault::Kind::read;
    const bool wheel_only = fault.kind == Fault::Kind::bulk_in || fault.kind == Fault::Kind::bulk_out;
    if ((camera_only && !device->camera) || (wheel_only && !device->wheel))
        return failure(std::string("that fault does not apply to a ") + (device->camera ? "camera" : "wheel"));
    device->faults.add(fault);
    return ok();
}

std::shared_ptr<Device> VirtualBox::find(std::string_view path, bool& usb_view) const {
    std::lock_guard lock(mutex_);
    for (const auto& device : devices_) {
        if (!device->node_path.empty() && device->node_path == path) {
            usb_view = false;
            return device;
        }
        if (device->usb_path() == path) {
            usb_view = true;
            return device;
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<Device>> VirtualBox::devices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

void VirtualBox::queue_locked(const char* action, const std::string& node, const Device* usb_device) {
    if (hotplug_fd_ < 0)
        return;
    platform::HotplugEvent event;
    event.action = action;
    event.devnode = node;
    // Only the USB device carries the id attributes, and only while it is
    // still in sysfs: a "remove" finds them gone.
    if (usb_device) {
        event.id_vendor = hex4(usb_device->vendor);
        event.id_product = hex4(usb_device->product);
    }
    events_.push_back(std::move(event));
    // An eventfd counter cannot overflow at one per event.
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(hotplug_fd_, &one, sizeof one);
}

bool VirtualBox::hotplug_open() {
    std::lock_guard lock(mutex_);
    if (hotplug_fd_ < 0)
        hotplug_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return hotplug_fd_ >= 0;
}

int VirtualBox::hotplug_fd() const {
    std::lock_guard lock(mutex_);
    return hotplug_fd_;
}

bool VirtualBox::hotplug_receive(platform::HotplugEvent& event) {
    std::lock_guard lock(mutex_);
    if (events_.empty())
        return false;
    event = std::move(events_.front());
    events_.pop_front();
    if (events_.empty()) {
        // Readable exactly while events are pending.
        uint64_t count;
        [[maybe_unused]] ssize_t drained = read(hotplug_fd_, &count, sizeof count);
    }
    return true;
}

void VirtualBox::hotplug_close() {
    std::lock_guard lock(mutex_);
    if (hotplug_fd_ >= 0)
        close(hotplug_fd_);
    hotplug_fd_ = -1;
    events_.clear();
}

}  // namespace sim
