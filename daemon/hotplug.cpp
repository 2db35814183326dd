#include "daemon/hotplug.h"

#include <syslog.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/threads.h"
#include "driver/camera_abi.h"
#include "driver/firmware_upload.h"
#include "platform/platform.h"
#include "registry/registry.h"

namespace {

constexpr const char* CAMERA_NODE_PREFIX = "telva";

bool is_camera_node(const std::string& devnode) { return devnode.find(CAMERA_NODE_PREFIX) != std::string::npos; }

// A camera node is registered once its firmware runs.
void camera_appeared(const char* path) {
    int status = upload_firmware(path);
    log_trace("Got camera: %s, FW status: %i", path, status);
    if (status == 0)
        add_camera(path);
}

// The hot-plug worker: one thread that does the device work of the start-up
// probe and of the udev events, in the order they came, so that opening,
// identifying, firmware uploads and closing never hold up the main loop.
class HotplugWorker {
public:
    // Queues `job`; the thread is started with the first one. When it can't
    // be started (logged), the job runs here instead.
    void post(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            if (!started_)
                started_ = start_detached("hot-plug worker", [this] { run(); });
            if (started_) {
                jobs_.push_back(std::move(job));
                job = nullptr;
            }
        }
        if (job)
            job();  // nobody would take it from the queue
        else
            wake_.notify_one();
    }

private:
    [[noreturn]] void run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !jobs_.empty(); });
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool started_ = false;
};

// Lives to the end of the process, as its thread does.
HotplugWorker& worker() {
    static HotplugWorker* const instance = new HotplugWorker;
    return *instance;
}

void handle_event(const platform::HotplugEvent& event) {
    const char* path = event.devnode.c_str();
    if (event.action == "add") {
        if (is_camera_node(event.devnode))
            camera_appeared(path);
        else if (is_wheel_event(event.id_vendor.c_str(), event.id_product.c_str()))
            add_wheel(path);
    } else if (event.action == "remove") {
        if (is_camera_node(event.devnode)) {
            log_trace("Removing camera: %s", path);
            remove_camera(path);
        } else {
            remove_wheel(path);
        }
    }
}

}  // namespace

bool is_wheel_event(const char* id_vendor, const char* id_product) {
    return strstr(id_vendor, "1347") != nullptr &&
           static_cast<uint16_t>(strtoul(id_product, nullptr, 16)) == WHEEL_PRODUCT_ID;
}

void dev_probe_threadproc() {
    log_trace("dev probe thread started");
    platform::Platform& hardware = platform::current();
    std::vector<std::string> names;
    if (hardware.list_dev(names) != 0) {
        log_message(LOG_ERR, "dev_probe_threadproc(): Could not open dir %s", "/dev");
    } else {
        for (const std::string& name : names) {
            if (name.compare(0, strlen(CAMERA_NODE_PREFIX), CAMERA_NODE_PREFIX) == 0)
                camera_appeared(("/dev/" + name).c_str());
        }
    }

    std::vector<platform::UsbDeviceEntry> devices;
    if (hardware.usb_list_devices(devices) != 0) {
        log_message(LOG_ERR, "dev_probe_threadproc(): Can't get device list");
        return;
    }
    for (const platform::UsbDeviceEntry& device : devices) {
        if (!device.has_descriptor || device.vendor != CAMERA_VENDOR_ID || device.product != WHEEL_PRODUCT_ID)
            continue;
        char path[21];
        snprintf(path, sizeof path, "/dev/bus/usb/%03hhu/%03hhu", device.bus, device.address);
        add_wheel(path);
    }
    log_trace("dev probe thread finished");
}

bool start_device_probe() {
    worker().post(dev_probe_threadproc);
    return true;
}

void handle_udev_event() {
    platform::HotplugEvent event;
    if (!platform::current().hotplug_receive(event)) {
        log_message(LOG_ERR, "No device from receive_device(). An error occured.");
        return;
    }
    if (event.devnode.empty() || (event.action != "add" && event.action != "remove"))
        return;
    try {
        worker().post([event] { handle_event(event); });
    } catch (const std::bad_alloc&) {
        log_message(LOG_ERR, "Hot-plug event of %s dropped: no memory", event.devnode.c_str());
    }
}
