// The four registries of telvad: TCP clients, cameras, standalone wheels and
// the two serial positions.
//
// Fixed tables in static storage, all guarded by one registry_mutex. The
// lock guards the tables only: no device I/O (opening, identification,
// closing) ever runs under it. A device is opened and identified first, then
// joins its record under the lock; a device that goes is taken out of its
// record under the lock and closed after it (or by the last command or
// transfer that still holds its node). Records never move and are never
// freed: sessions and Alpaca adapters keep pointers to them without holding
// the lock. A device unplugged and plugged in again while held comes back
// to the record that holds its id.
//
// A camera or wheel record is in one DeviceState (driver/device_state.h),
// moved only by the registry:
//   free --add--> present --claim--> held --release--> present
//   present --unplug--> free       held --unplug--> held_absent
//   held_absent --plugged again--> held   held_absent --release--> free
// A claim takes only a present record; a held one (present or not) is busy.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "common/terminal.h"
#include "driver/camera_record.h"
#include "driver/wheel.h"

inline constexpr int MAX_CLIENTS = 128;
inline constexpr int MAX_CAMERAS = 128;
inline constexpr int MAX_WHEELS = 128;
inline constexpr int SERIAL_POSITIONS = 2;

// Stands for "the only device" in connect requests.
inline constexpr uint32_t ONLY_DEVICE_ID = 0xFFFFFFFF;

struct ClientSlot {
    int32_t sd = 0;         // 0: a free slot
    sockaddr_in peer = {};  // as accept() gave it
    bool serial = false;    // came in on a serial listener
};

extern std::mutex registry_mutex;

// Clears every table and counter. Start-up and tests only: no record may be
// in use.
void clear_registries();

// --- Clients -------------------------------------------------------------

// Records an accepted connection. False when all 128 slots are taken: the
// caller then refuses the connection (nothing recorded is given up for it).
bool register_client(int sd, const sockaddr_in& peer, bool serial);

// Forgets a connection and closes its socket (also when it was not found).
void unregister_client(int sd);

// Whether `sd` came in on the main port (true also when it is unknown).
bool is_device_client(int sd);

// --- Cameras -------------------------------------------------------------

// A camera node appeared: opens and identifies it, into the record that
// knows its id or a free one. Failures are logged and add nothing.
void add_camera(const char* path);

// A camera node disappeared: closes it, and clears its record unless a
// client holds the camera (then the record waits for release_camera).
void remove_camera(const char* path);

enum class ClaimResult { claimed, busy, not_found };

template <typename Record>
struct Claimed {
    ClaimResult result = ClaimResult::not_found;
    Record* record = nullptr;  // set when claimed
    explicit operator bool() const { return result == ClaimResult::claimed; }
};

// Makes the connection `sd` the holder of camera `id` (ONLY_DEVICE_ID: the
// only camera present), in one step: only a present camera nobody holds is
// claimed. busy: somebody holds it (also while it is unplugged); not_found:
// the camera or the client is unknown (logged).
Claimed<CameraRecord> claim_camera(uint32_t id, int sd);

// The connection `sd` lets go of the camera it holds; a camera unplugged
// meanwhile is cleared now. Records held by others are not touched.
void release_camera(int sd);

// The Alpaca server takes a present camera nobody holds (false when it is
// held or absent, or null), or lets go of one it holds (false otherwise).
bool alpaca_claim_camera(CameraRecord* camera);
bool alpaca_release_camera(CameraRecord* camera);

// The entries of an enumeration response, in slot order: 66-byte
// identifications of the cameras nobody holds, or with `internal` 67-byte
// entries of every known camera with a state byte (1: held, +2: open).
struct DeviceList {
    std::vector<uint8_t> entries;
    int32_t count = 0;  // -1 when the list could not be built
};
DeviceList list_cameras(bool internal);

// Whether camera `id` is held while present (state held); ONLY_DEVICE_ID
// with more than one camera present counts as busy.
bool camera_busy(uint32_t id);

// --- Standalone wheels (as for cameras) ----------------------------------

void add_wheel(const char* path);
void remove_wheel(const char* path);
Claimed<WheelRecord> claim_wheel(uint32_t id, int sd);
void release_wheel(int sd);
bool alpaca_claim_wheel(WheelRecord* wheel);
bool alpaca_release_wheel(WheelRecord* wheel);
DeviceList list_wheels(bool internal);
bool wheel_busy(uint32_t id);

// --- Serial positions ----------------------------------------------------

// Opens and sets up the serial device of `position` (0: /dev/ttyS2, 1:
// /dev/ttyS3) for the connection `sd`. The position, or null; a device that
// can't be set up is closed again and the position stays free.
SerialPosition* store_connect_serial(int position, int sd);

// The connection `sd` lets go of its serial position; its device is closed.
void release_serial(int sd);

// Whether `position` is held by a connection.
bool serial_open(int position);

// --- Publishing to the Alpaca server -------------------------------------

// Called, with registry_mutex held, for every camera and wheel that takes a
// new record. Empty until the Alpaca server installs its own. No device I/O.
extern std::function<void(CameraRecord&)> publish_camera;
extern std::function<void(WheelRecord&)> publish_standalone_wheel;

// --- For tests --------------------------------------------------------------

uint64_t clients_connected();
uint64_t cameras_present();
uint64_t wheels_present();
