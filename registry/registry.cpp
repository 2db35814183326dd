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

// What the generic operations need to know of cameras and wheels. `Shared`
// is the device object a record holds (a camera's node, a wheel's port).
struct CameraKind {
    using Record = CameraRecord;
    using Info = CameraInfo;
    using Shared = NodeRef;
    static constexpr const char* noun = "camera";
    static constexpr const char* Noun = "Camera";
    static auto& table() { return cameras; }
    static std::atomic<uint64_t>& present() { return camera_count; }
    static Shared detach(Record& record) { return record.node.exchange(); }
    static void attach(Record& record, Shared shared) { record.node.exchange(std::move(shared)); }
    static DeviceNode& node_of(const Shared& shared) { return *shared; }
    static void clear(Record& record) {
        memset(record.path, 0, sizeof record.path);
        reset_camera_record(record);
    }
};

struct WheelKind {
    using Record = WheelRecord;
    using Info = WheelInfo;
    using Shared = WheelPortRef;
    static constexpr const char* noun = "wheel";
    static constexpr const char* Noun = "Wheel";
    static auto& table() { return wheels; }
    static std::atomic<uint64_t>& present() { return wheel_count; }
    static Shared detach(Record& record) { return record.port.exchange(); }
    static void attach(Record& record, Shared shared) { record.port.exchange(std::move(shared)); }
    static DeviceNode& node_of(const Shared& shared) { return *shared->node; }
    static void clear(Record& record) {
        memset(record.path, 0, sizeof record.path);
        record.pid = 0;
        record.info = WheelInfo{};
        record.owner_sock = 0;
    }
};

const char* state_name(DeviceState state) {
    switch (state) {
    case DeviceState::free: return "free";
    case DeviceState::present: return "present";
    case DeviceState::held: return "held";
    case DeviceState::held_absent: return "held_absent";
    }
    return "?";
}

// The one place where records change state; registry_mutex is held. Keeps
// the present counter (records with an open node) in step, clears a record
// that becomes free and the holder of one that is let go. An illegal move
// is refused (logged) and changes nothing.
template <typename Kind>
bool move_to(typename Kind::Record& record, DeviceState to) {
    using S = DeviceState;
    const S from = record.state.load();
    const bool legal = (from == S::free && to == S::present)            // added
                       || (from == S::present && to == S::held)         // claimed
                       || (from == S::present && to == S::free)         // unplugged
                       || (from == S::held && to == S::present)         // released
                       || (from == S::held && to == S::held_absent)     // unplugged while held
                       || (from == S::held_absent && to == S::held)     // plugged in again
                       || (from == S::held_absent && to == S::free);    // released after its unplug
    if (!legal) {
        log_message(LOG_ERR, "%s id %u: no move from %s to %s", Kind::Noun, record.info.id, state_name(from),
                    state_name(to));
        return false;
    }
    if (is_open(to) && !is_open(from))
        ++Kind::present();
    else if (!is_open(to) && is_open(from))
        --Kind::present();
    if (!is_held(to))
        record.owner_sock = 0;
    if (to == S::free)
        Kind::clear(record);
    record.state.store(to);
    return true;
}

// Lets go of a device object taken out of its record, outside the lock: its
// node is marked gone, and closed here when nobody else holds it (a command
// or transfer that does closes it when it ends). 0, or -errno of close().
template <typename Kind>
int let_go_of(typename Kind::Shared shared) {
    if (!shared)
        return 0;
    Kind::node_of(shared).mark_gone();
    return drop_reference(std::move(shared));
}

// The record of device `id`, known to clients; for ONLY_DEVICE_ID with
// exactly one device present, the first one whose node is open.
template <typename Kind>
typename Kind::Record* match_by_id(uint32_t id) {
    const bool only = id == ONLY_DEVICE_ID && Kind::present() == 1;
    for (auto& record : Kind::table()) {
        const DeviceState state = record.state.load();
        if (only ? is_open(state) : (is_known(state) && record.info.id == id))
            return &record;
    }
    return nullptr;
}

template <typename Kind>
typename Kind::Record* find_by_path(const char* path) {
    for (auto& record : Kind::table()) {
        if (is_known(record.state.load()) && strcmp(record.path, path) == 0)
            return &record;
    }
    return nullptr;
}

template <typename Kind>
typename Kind::Record* free_record() {
    for (auto& record : Kind::table()) {
        if (record.state.load() == DeviceState::free)
            return &record;
    }
    return nullptr;
}

// An identified device, opened outside the lock, joins the registry: the
// record that knows its id (a held one unplugged meanwhile gets it back; a
// present one swaps a stale node for it), or a free one, filled by `fill`
// (no device I/O). The replaced object is handed back to be let go of
// outside the lock. False when every record is taken.
template <typename Kind, typename Fill>
bool join(const char* path, typename Kind::Shared shared, const typename Kind::Info& info,
          typename Kind::Shared& replaced, Fill fill, const std::function<void(typename Kind::Record&)>& publish) {
    Lock lock(registry_mutex);
    if (auto* record = match_by_id<Kind>(info.id); record != nullptr && info.id != ONLY_DEVICE_ID) {
        if (record->state.load() == DeviceState::held_absent)
            move_to<Kind>(*record, DeviceState::held);
        replaced = Kind::detach(*record);
        Kind::attach(*record, std::move(shared));
        copy_path(record->path, path);
        return true;
    }
    auto* record = free_record<Kind>();
    if (record == nullptr) {
        log_message(LOG_ERR, "Could not add %s %s: all %d %s records are taken", Kind::noun, path,
                    static_cast<int>(Kind::table().size()), Kind::noun);
        return false;
    }
    fill(*record, std::move(shared));
    move_to<Kind>(*record, DeviceState::present);
    if (publish)
        publish(*record);
    return true;
}

template <typename Kind>
void remove_device(const char* path) {
    typename Kind::Shared gone;
    {
        Lock lock(registry_mutex);
        auto* record = find_by_path<Kind>(path);
        if (record == nullptr)
            return;
        const DeviceState state = record->state.load();
        if (!is_open(state)) {
            log_trace("%s connected to client but not opened => ignoring", Kind::Noun);
            return;
        }
        gone = Kind::detach(*record);
        // A held device keeps its record (id and path) until its holder lets go.
        move_to<Kind>(*record, state == DeviceState::held ? DeviceState::held_absent : DeviceState::free);
    }
    if (let_go_of<Kind>(std::move(gone)) == 0)
        log_message(LOG_INFO, "%s %s removed.", Kind::Noun, path);
    else
        log_message(LOG_ERR, "Could not remove %s: %s", Kind::noun, path);
}

template <typename Kind>
Claimed<typename Kind::Record> claim_device(uint32_t id, int sd) {
    Lock lock(registry_mutex);
    auto* record = match_by_id<Kind>(id);
    const ClientSlot* client = find_client(sd);
    if (record == nullptr)
        log_message(LOG_ERR, "Could not find %s id: %i", Kind::noun, static_cast<int>(id));
    if (client == nullptr)
        log_message(LOG_ERR, "Could not find client sd: %i", sd);
    if (record == nullptr || client == nullptr)
        return {ClaimResult::not_found, nullptr};
    // Held, present or not: the holder keeps it.
    if (record->state.load() != DeviceState::present) {
        log_message(LOG_WARNING, "Client sd: %i refused: %s id %i is held.", sd, Kind::noun,
                    static_cast<int>(record->info.id));
        return {ClaimResult::busy, nullptr};
    }
    move_to<Kind>(*record, DeviceState::held);
    record->owner_sock = sd;
    if constexpr (requires { record->owner_addr; })
        record->owner_addr = client->peer;
    log_message(LOG_INFO, "Client sd: %i connected to %s id: %i.", sd, Kind::noun, static_cast<int>(record->info.id));
    return {ClaimResult::claimed, record};
}

// Lets go of a held record; one whose device went away meanwhile is cleared.
template <typename Kind>
void let_go(typename Kind::Record& record) {
    move_to<Kind>(record, record.state.load() == DeviceState::held_absent ? DeviceState::free : DeviceState::present);
}

template <typename Kind>
void release_device(int sd) {
    Lock lock(registry_mutex);
    for (auto& record : Kind::table()) {
        if (sd != 0 && is_held(record.state.load()) && record.owner_sock == sd) {
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
            const DeviceState state = record.state.load();
            if (internal ? !is_known(state) : state != DeviceState::present)
                continue;
            const auto* info = reinterpret_cast<const uint8_t*>(&record.info);
            list.entries.insert(list.entries.end(), info, info + info_size);
            if (internal)
                list.entries.push_back(static_cast<uint8_t>((is_held(state) ? 1 : 0) + (is_open(state) ? 2 : 0)));
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
        const DeviceState state = record.state.load();
        if (id == ONLY_DEVICE_ID ? is_open(state) : (is_known(state) && record.info.id == id)) {
            found = &record;
            break;
        }
    }
    return found != nullptr && found->state.load() == DeviceState::held;
}

// The Alpaca server takes a present device nobody holds; `announce` logs it
// with the id.
template <typename Kind, typename Announce>
bool alpaca_claim(typename Kind::Record* record, Announce announce) {
    Lock lock(registry_mutex);
    if (record == nullptr) {
        log_message(LOG_ERR, "Invalid argument '%s'", Kind::noun);
        return false;
    }
    if (record->state.load() != DeviceState::present) {
        log_message(LOG_WARNING, "Alpaca client refused: %s id %i is %s.", Kind::noun,
                    static_cast<int>(record->info.id), state_name(record->state.load()));
        return false;
    }
    move_to<Kind>(*record, DeviceState::held);
    record->owner_sock = 0;
    announce(record->info.id);
    return true;
}

// Only a record the Alpaca server holds (owner_sock 0) is let go.
template <typename Kind>
bool alpaca_release(typename Kind::Record* record) {
    Lock lock(registry_mutex);
    if (record == nullptr) {
        log_message(LOG_ERR, "Invalid argument '%s'", Kind::noun);
        return false;
    }
    if (!is_held(record->state.load()) || record->owner_sock != 0) {
        log_message(LOG_ERR, "Alpaca client does not hold %s id '%i'.", Kind::noun, static_cast<int>(record->info.id));
        return false;
    }
    log_message(LOG_INFO, "Alpaca client disconnected from %s id '%i'.", Kind::noun, static_cast<int>(record->info.id));
    let_go<Kind>(*record);
    return true;
}

}  // namespace

void clear_registries() {
    Lock lock(registry_mutex);
    clients.fill(ClientSlot{});
    for (CameraRecord& camera : cameras) {
        close_camera(camera, true);
        camera.state = DeviceState::free;
    }
    for (WheelRecord& wheel : wheels) {
        close_wheel(wheel, true);
        wheel.state = DeviceState::free;
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

// Opening and identifying happen before the lock is taken: a camera that
// answers slowly holds up nobody but its own addition.
void add_camera(const char* path) {
    NodeRef node = open_node(path, CAMERA_PATH_SIZE);
    if (!node)
        return;
    CameraInfo info;
    if (usb_camera_info(node->fd(), info) != 0) {
        log_message(LOG_ERR, "Could not obtain camera %s info", path);
        return;
    }
    NodeRef replaced;
    const bool joined = join<CameraKind>(
        path, std::move(node), info, replaced,
        [&](CameraRecord& record, NodeRef opened) { fill_camera_record(record, path, std::move(opened), info, info.pid); },
        publish_camera);
    let_go_of<CameraKind>(std::move(replaced));
    if (joined)
        log_message(LOG_INFO, "Camera %s connected.", path);
}

void add_wheel(const char* path) {
    WheelInfo info;
    WheelPortRef port = open_wheel_port(path, info);
    if (!port)
        return;
    WheelPortRef replaced;
    const bool joined = join<WheelKind>(
        path, std::move(port), info, replaced,
        [&](WheelRecord& record, WheelPortRef opened) { fill_wheel_record(record, path, std::move(opened), info); },
        publish_standalone_wheel);
    let_go_of<WheelKind>(std::move(replaced));
    if (joined)
        log_message(LOG_INFO, "Wheel %s connected.", path);
}

void remove_camera(const char* path) { remove_device<CameraKind>(path); }
void remove_wheel(const char* path) { remove_device<WheelKind>(path); }
Claimed<CameraRecord> claim_camera(uint32_t id, int sd) { return claim_device<CameraKind>(id, sd); }
Claimed<WheelRecord> claim_wheel(uint32_t id, int sd) { return claim_device<WheelKind>(id, sd); }
void release_camera(int sd) { release_device<CameraKind>(sd); }
void release_wheel(int sd) { release_device<WheelKind>(sd); }
DeviceList list_cameras(bool internal) { return list_devices<CameraKind>(internal); }
DeviceList list_wheels(bool internal) { return list_devices<WheelKind>(internal); }
bool camera_busy(uint32_t id) { return device_busy<CameraKind>(id); }
bool wheel_busy(uint32_t id) { return device_busy<WheelKind>(id); }

bool alpaca_claim_camera(CameraRecord* camera) {
    return alpaca_claim<CameraKind>(camera, [](uint32_t id) {
        log_message(LOG_INFO, "Alpaca client connected to camera id: '%i'.", static_cast<int>(id));
    });
}

bool alpaca_claim_wheel(WheelRecord* wheel) {
    return alpaca_claim<WheelKind>(wheel, [](uint32_t id) {
        log_message(LOG_INFO, "Alpaca client connected to wheel id: %i.", static_cast<int>(id));
    });
}

bool alpaca_release_camera(CameraRecord* camera) { return alpaca_release<CameraKind>(camera); }
bool alpaca_release_wheel(WheelRecord* wheel) { return alpaca_release<WheelKind>(wheel); }

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
