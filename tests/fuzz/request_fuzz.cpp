// Fuzzes the request stream of the main port: the framing, the field reads
// and the main-thread answers, on a virtual box with a camera and a wheel.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "common/config.h"
#include "common/log.h"
#include "daemon/client_requests.h"
#include "driver/camera_init.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "sim/virtual_platform.h"
#include "thread/protocol.h"

namespace {

constexpr int FUZZ_CLIENT_SD = 1000;  // registered, never written to, never closed

bool set_up() {
    log_sinks = 0;
    shutter_settle_ms = 0;
    auto box = std::make_shared<sim::VirtualBox>();
    platform::install(sim::make_virtual_platform(box));
    clear_registries();
    box->execute("plug camera 3120 id=7 open_ms=0 close_ms=0");
    box->execute("plug wheel filters=5 filters2=7");
    add_camera("/dev/telva0");
    sockaddr_in peer = {};
    register_client(FUZZ_CLIENT_SD, peer, false);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = set_up();
    (void)ready;
    std::span<const uint8_t> rest(data, size);
    while (!rest.empty()) {
        Frame frame = find_frame(rest);
        if (frame.kind == Frame::Kind::incomplete)
            frame.size = frame.consumed = rest.size();
        Request request(rest.first(frame.size));
        if (request.bytes().size() >= 16) {
            MainPhaseAnswer answer = answer_main_request(FUZZ_CLIENT_SD, request);
            // Only a connect that claimed its device leaves the answer to the session.
            if (answer.response.size() < HEADER_SIZE && !answer.camera && !answer.wheel)
                __builtin_trap();
            // A connect that succeeded hands the device over; give it back.
            if (answer.camera)
                release_camera(FUZZ_CLIENT_SD);
            if (answer.wheel)
                release_wheel(FUZZ_CLIENT_SD);
        }
        rest = rest.subspan(frame.consumed);
    }
    return 0;
}
