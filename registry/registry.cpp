#include "registry/registry.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "common/log.h"
#include "driver/camera_open.h"
#include "driver/wheel_ops.h"
#include "platform/platform.h"

std::mutex registry_mutex;
std::function<void(CameraRecord&)> publish_camera;
std::function<void(WheelRecord&)> publish_standalone_wheel;

namespace {

std::array<ClientSlot, MAX_CLIENTS> clients;
std::array<CameraRecord, MAX_CAMERAS> cameras;
std::array<WheelRecord, MAX_WHEELS> wheels;
std::array<SerialPosition, SERIAL_POSITIONS> serials;

uint64_t client_count = 0;
// Read without the lock by the quick answer of camera_busy and wheel_busy.
std::atomic<uint64_t> camera_count{0};
std::atomic<uint64_t> wheel_count{0};

constexpr const char* SERIAL_DEVICES[SERIAL_POSITIONS] = {"/dev/ttyS2", "/dev/ttyS3"};

using Lock = std::lock_guard<std::mutex>;

bool is_loopback(const sockaddr_in& peer) { return peer.sin_addr.s_addr == htonl(INADDR_LOOPBACK); }

ClientSlot* find_client(int sd) {
    for (ClientSlot& slot : clients) {
        if (slot.sd == sd && sd != 0)
            return &slot;
    }
    return nullptr;
}

void copy_path(char (&target)[CAMERA_PATH_SIZE], const char* path) {
    snprintf(target, sizeof target, "%s", path);
}

// What the generic operations need to know of cameras and wheels.
struct CameraKind {
    using Record = CameraRecord;
    using Info = CameraInfo;
    static constexpr const char* noun = "camera";
    static constexpr const char* Noun = "Camera";
    static auto& table() { return cameras; }
    static std::atomic<uint64_t>& present() { return camera_count; }
    static int close(Record& record, bool release) { return close_camera(record, release); }
};

struct WheelKind {
    using Record = WheelRecord;
    using Info = WheelInfo;
    static constexpr const char* noun = "wheel";
    static constexpr const char* Noun = "Wheel";
    static auto& table() { return wheels; }
    static std::atomic<uint64_t>& present() { return wheel_count; }
    static int close(Record& record, bool release) { return close_wheel(record, release); }
};

// The record of device `id`: the first with that id, or for ONLY_DEVICE_ID
// with exactly one device present the first known one.
template <typename Kind>
typename Kind::Record* match_by_id(uint32_t id) {
    const bool only = id == ONLY_DEVICE_ID && Kind::present() == 1;
    for (auto& record : Kind::table()) {
        if (only ? record.info.id != 0 : record.info.id == id)
            return &record;
    }
    return nullptr;
}

template <typename Kind>
typename Kind::Record* find_by_path(const char* path) {
    for (auto& record : Kind::table()) {
        if (record.path[0] != '\0' && strcmp(record.path, path) == 0)
            return &record;
    }
    return nullptr;
}

template <typename Kind>
typename Kind::Record* free_record() {
    for (auto& record : Kind::table()) {
        if (record.info.id == 0)
            return &record;
    }
    return nullptr;
}

template <typename Kind>
void remove_device(const char* path) {
    Lock lock(registry_mutex);
    auto* record = find_by_path<Kind>(path);
    if (record == nullptr)
        return;
    if (record->fd == 0) {
        log_trace("%s connected to client but not opened => ignoring", Kind::Noun);
        return;
    }
    --Kind::present();
    // A held device keeps its record (id and path) until its holder lets go.
    if (int result = Kind::close(*record, !record->connected); result == 0)
        log_message(LOG_INFO, "%s %s removed.", Kind::Noun, path);
    else
        log_message(LOG_ERR, "Could not remove %s: %s", Kind::noun, path);
}

template <typename Kind>
typename Kind::Record* claim_device(uint32_t id, int sd) {
    Lock lock(registry_mutex);
    auto* record = match_by_id<Kind>(id);
    const ClientSlot* client = find_client(sd);
    if (record == nullptr)
        log_message(LOG_ERR, "Could not find %s id: %i", Kind::noun, static_cast<int>(id));
    if (client == nullptr)
        log_message(LOG_ERR, "Could not find client sd: %i", sd);
    if (record == nullptr || client == nullptr)
        return nullptr;
    record->owner_sock = sd;
    record->connected = 1;
    if constexpr (requires { record->owner_addr; })
        record->owner_addr = client->peer;
    log_message(LOG_INFO, "Client sd: %i connected to %s id: %i.", sd, Kind::noun, static_cast<int>(record->info.id));
    return record;
}

// Lets go of a held record; one whose device went away meanwhile is cleared.
template <typename Kind>
void let_go(typename Kind::Record& record) {
    record.owner_sock = 0;
    record.connected = 0;
    if (record.fd == 0 && record.path[0] != '\0')
        Kind::close(record, true);
}

template <typename Kind>
void release_device(int sd) {
    Lock lock(registry_mutex);
    for (auto& record : Kind::table()) {
        if (record.owner_sock == sd && sd != 0) {
            log_message(LOG_INFO, "Client sd '%i' disconnected from %s id '%i'.", sd, Kind::noun,
                        static_cast<int>(record.info.id));
            let_go<Kind>(record);
            return;
        }
    }
    log_message(LOG_ERR, "Could not find associated %s to sd '%i'", Kind::noun, sd);
}

template <typename Kind>
DeviceList list_devices(bool internal) {
    DeviceList list;
    constexpr size_t info_size = sizeof(typename Kind::Info);
    Lock lock(registry_mutex);
    try {
        for (const auto& record : Kind::table()) {
            if (record.info.id == 0 || (!internal && (record.fd == 0 || record.connected)))
                continue;
            const auto* info = reinterpret_cast<const uint8_t*>(&record.info);
            list.entries.insert(list.entries.end(), info, info + info_size);
            if (internal)
                list.entries.push_back(static_cast<uint8_t>((record.connected ? 1 : 0) + (record.fd != 0 ? 2 : 0)));
            ++list.count;
        }
    } catch (const std::bad_alloc&) {
        list.entries.clear();
        list.count = -1;
    }
    return list;
}

template <typename Kind>
bool device_busy(uint32_t id) {
    if (id == ONLY_DEVICE_ID && Kind::present() > 1)
        return true;
    Lock lock(registry_mutex);
    const typename Kind::Record* found = nullptr;
    for (const auto& record : Kind::table()) {
        if (id == ONLY_DEVICE_ID ? record.info.id != 0 : record.info.id == id) {
            found = &record;
            break;
        }
    }
    return found != nullptr && found->connected && found->fd != 0;
}

// The Alpaca server takes a device; `announce` logs it with the id.
template <typename Kind, typename Announce>
void alpaca_claim(typename Kind::Record* record, Announce announce) {
    Lock lock(registry_mutex);
    if (record == nullptr) {
        log_message(LOG_ERR, "Invalid argument '%s'", Kind::noun);
        return;
    }
    record->connected = 1;
    record->owner_sock = 0;
    announce(record->info.id);
}

template <typename Kind>
void alpaca_release(typename Kind::Record* record) {
    Lock lock(registry_mutex);
    if (record == nullptr) {
        log_message(LOG_ERR, "Invalid argument '%s'", Kind::noun);
        return;
    }
    log_message(LOG_INFO, "Alpaca client disconnected from %s id '%i'.", Kind::noun, static_cast<int>(record->info.id));
    let_go<Kind>(*record);
}

// Gives a node that belongs to a known device to its record. False when the
// id is not known.
template <typename Kind>
bool take_known(uint32_t id, const char* path, int fd) {
    auto* record = match_by_id<Kind>(id);
    if (record == nullptr)
        return false;
    if (record->fd != 0)
        Kind::close(*record, false);  // a stale node of the same device
    else
        ++Kind::present();
    record->fd = fd;
    copy_path(record->path, path);
    return true;
}

}  // namespace

void clear_registries() {
    Lock lock(registry_mutex);
    clients.fill(ClientSlot{});
    for (CameraRecord& camera : cameras) {
        reset_camera_record(camera);
        camera.path[0] = '\0';
    }
    for (WheelRecord& wheel : wheels) {
        wheel.path[0] = '\0';
        wheel.connected = 0;
        wheel.pid = 0;
        wheel.info = {};
        wheel.fd = 0;
        wheel.handle = nullptr;
        wheel.owner_sock = 0;
    }
    serials.fill(SerialPosition{});
    client_count = 0;
    camera_count = 0;
    wheel_count = 0;
}

bool register_client(int sd, const sockaddr_in& peer, bool serial) {
    Lock lock(registry_mutex);
    ClientSlot* slot = nullptr;
    for (ClientSlot& candidate : clients) {
        if (candidate.sd == 0) {
            slot = &candidate;
            break;
        }
    }
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    if (slot == nullptr) {
        log_message(LOG_WARNING, "Connection from %s refused: all %d client slots are in use", address, MAX_CLIENTS);
        return false;
    }
    ++client_count;
    *slot = ClientSlot{sd, peer, serial};
    if (!is_loopback(peer))
        log_message(LOG_INFO, "%s client #%i with sd: %i from addr: %s connected.", serial ? "Serial" : "Camera/Wheel",
                    static_cast<int>(client_count), sd, address);
    return true;
}

void unregister_client(int sd) {
    Lock lock(registry_mutex);
    ClientSlot* slot = find_client(sd);
    if (slot == nullptr) {
        log_message(LOG_ERR, "Could not find connected client with sd '%i'!", sd);
        close(sd);
        return;
    }
    if (!is_loopback(slot->peer)) {
        char address[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &slot->peer.sin_addr, address, sizeof address);
        log_message(LOG_INFO, "Client #%i with sd '%i' from address '%s' disconnected.", static_cast<int>(client_count),
                    sd, address);
    }
    --client_count;
    close(sd);
    *slot = ClientSlot{};
}

bool is_device_client(int sd) {
    Lock lock(registry_mutex);
    const ClientSlot* slot = find_client(sd);
    if (slot == nullptr) {
        log_message(LOG_ERR, "Could not find client sd: %i", sd);
        return true;
    }
    return !slot->serial;
}

void add_camera(const char* path) {
    Lock lock(registry_mutex);
    platform::Platform& hardware = platform::current();
    int fd = hardware.node_open(path, O_RDWR);
    if (fd < 0) {
        log_message(LOG_ERR, "open() failed: %s", strerror(errno));
        return;
    }
    CameraInfo info;
    if (usb_camera_info(fd, info) != 0) {
        log_message(LOG_ERR, "Could not obtain camera %s info", path);
        hardware.node_close(fd);
        return;
    }
    if (!take_known<CameraKind>(info.id, path, fd)) {
        hardware.node_close(fd);
        CameraRecord* record = free_record<CameraKind>();
        if (record == nullptr) {
            log_message(LOG_ERR, "Could not add camera %s: all %d camera records are taken", path, MAX_CAMERAS);
            return;
        }
        if (open_camera(path, *record) != 0) {
            log_message(LOG_ERR, "Could not add camera: %s", path);
            close_camera(*record, true);  // the slot stays free
            return;
        }
        ++camera_count;
        if (publish_camera)
            publish_camera(*record);
    }
    log_message(LOG_INFO, "Camera %s connected.", path);
}

void add_wheel(const char* path) {
    Lock lock(registry_mutex);
    platform::Platform& hardware = platform::current();
    int fd = hardware.node_open(path, O_RDWR);
    if (fd < 0) {
        log_message(LOG_ERR, "open() failed: %s", strerror(errno));
        return;
    }
    platform::UsbHandle* handle = nullptr;
    if (hardware.usb_wrap_sys_device(fd, &handle) != 0) {
        hardware.node_close(fd);
        return;
    }
    WheelInfo info;
    if (usb_wheel_info(handle, info) != 0) {
        log_message(LOG_ERR, "Could not obtain wheel %s info", path);
        hardware.usb_close(handle);
        hardware.node_close(fd);
        return;
    }
    if (take_known<WheelKind>(info.id, path, fd)) {
        WheelRecord& record = *match_by_id<WheelKind>(info.id);
        record.handle = handle;
    } else {
        hardware.usb_close(handle);
        hardware.node_close(fd);
        WheelRecord* record = free_record<WheelKind>();
        if (record == nullptr) {
            log_message(LOG_ERR, "Could not add wheel %s: all %d wheel records are taken", path, MAX_WHEELS);
            return;
        }
        if (open_wheel(path, *record) != 0) {
            log_message(LOG_ERR, "Could not add wheel: %s", path);
            close_wheel(*record, true);
            return;
        }
        ++wheel_count;
        if (publish_standalone_wheel)
            publish_standalone_wheel(*record);
    }
    log_message(LOG_INFO, "Wheel %s connected.", path);
}

void remove_camera(const char* path) { remove_device<CameraKind>(path); }
void remove_wheel(const char* path) { remove_device<WheelKind>(path); }
CameraRecord* claim_camera(uint32_t id, int sd) { return claim_device<CameraKind>(id, sd); }
WheelRecord* claim_wheel(uint32_t id, int sd) { return claim_device<WheelKind>(id, sd); }
void release_camera(int sd) { release_device<CameraKind>(sd); }
void release_wheel(int sd) { release_device<WheelKind>(sd); }
DeviceList list_cameras(bool internal) { return list_devices<CameraKind>(internal); }
DeviceList list_wheels(bool internal) { return list_devices<WheelKind>(internal); }
bool camera_busy(uint32_t id) { return device_busy<CameraKind>(id); }
bool wheel_busy(uint32_t id) { return device_busy<WheelKind>(id); }

void alpaca_claim_camera(CameraRecord* camera) {
    alpaca_claim<CameraKind>(camera, [](uint32_t id) {
        log_message(LOG_INFO, "Alpaca client connected to camera id: '%i'.", static_cast<int>(id));
    });
}

void alpaca_claim_wheel(WheelRecord* wheel) {
    alpaca_claim<WheelKind>(wheel, [](uint32_t id) {
        log_message(LOG_INFO, "Alpaca client connected to wheel id: %i.", static_cast<int>(id));
    });
}

void alpaca_release_camera(CameraRecord* camera) { alpaca_release<CameraKind>(camera); }
void alpaca_release_wheel(WheelRecord* wheel) { alpaca_release<WheelKind>(wheel); }

SerialPosition* store_connect_serial(int position, int sd) {
    if (position < 0 || position >= SERIAL_POSITIONS) {
        log_trace("store_connect_serial(): position out of range");
        return nullptr;
    }
    Lock lock(registry_mutex);
    platform::Platform& hardware = platform::current();
    SerialPosition& port = serials[static_cast<size_t>(position)];
    const char* device = SERIAL_DEVICES[position];
    int fd = hardware.serial_open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        log_message(LOG_ERR, "Could not open serial '%s'", device);
        port.tty_fd = 0;
        return nullptr;
    }
    port.tty_fd = fd;
    port.client_sd = sd;
    port.position = position;
    port.break_on = 0;
    if (serial_setup(port) != 0) {
        log_message(LOG_ERR, "Could not setup serial '%s'", device);
        // Nobody will release a position whose connection the main loop
        // closes now: free it here.
        hardware.serial_close(fd);
        port = SerialPosition{};
        return nullptr;
    }
    log_message(LOG_INFO, "Client sd: %i connected to serial position: %i.", sd, position);
    return &port;
}

void release_serial(int sd) {
    Lock lock(registry_mutex);
    for (SerialPosition& port : serials) {
        if (port.client_sd == sd && sd != 0) {
            const int position = port.position;
            if (port.tty_fd > 0)
                platform::current().serial_close(port.tty_fd);
            port.position = 0;
            port.tty_fd = 0;
            port.client_sd = 0;
            port.break_on = 0;
            log_message(LOG_INFO, "Client sd '%i' disconnected from serial position '%i'.", sd, position);
            return;
        }
    }
    log_message(LOG_ERR, "Could not find associated serial to sd '%i'", sd);
}

bool serial_open(int position) {
    if (position < 0 || position >= SERIAL_POSITIONS) {
        log_trace("store_connect_serial(): position out of range");
        return false;
    }
    Lock lock(registry_mutex);
    return serials[static_cast<size_t>(position)].tty_fd > 0;
}

uint64_t clients_connected() {
    Lock lock(registry_mutex);
    return client_count;
}

uint64_t cameras_present() { return camera_count; }
uint64_t wheels_present() { return wheel_count; }
