#include "thread/camera_session.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "common/log.h"
#include "daemon/registry.h"
#include "thread/session_io.h"

namespace {

void run_session(CameraRecord& camera, std::vector<uint8_t> early_bytes) {
    const int sd = camera.owner_sock;
    log_trace("Camera thread: %#x, tid: %d started", static_cast<unsigned>(pthread_self()),
              static_cast<int>(syscall(SYS_gettid)));
    SessionConnection connection(sd, early_bytes);
    run_request_loop(connection, [&](const Request& request) {
        return connection.send(serve_camera_request(camera, request), "response");
    });
    log_trace("Client %d disconnected (thread)", sd);
    release_camera(sd);
    unregister_client(sd);
    log_trace("Camera thread %#x finished", static_cast<unsigned>(pthread_self()));
}

// The record flags a client sets with one byte: any value but 0 sets them.
bool flag_value(const Request& request) { return request.field<uint8_t>(16).value_or(0) != 0; }

}  // namespace

std::vector<uint8_t> serve_camera_request(CameraRecord& camera, const Request& request) {
    const uint32_t command = request.command();
    Response response(command, 0);
    switch (command) {
    case TCP_CMD_ISCONNECTED:
        response.set_status(camera_busy(camera.info.id) ? 0 : 1);
        break;
    case TCP_CMD_SETOVERSCAN:
        camera.overscan = flag_value(request);
        break;
    case TCP_CMD_SETBOTHGAINS:
        camera.bothgains = flag_value(request);
        break;
    case TCP_CMD_SETHWBINNING:
        camera.hw_bin.enabled = flag_value(request);
        break;
    case TCP_CMD_SETBINMODE:
        camera.bin_sum = camera.bin_saturate = flag_value(request);
        break;
    case TCP_CMD_GETCLOCKPERIOD:
        response.set<double>(20, camera.clock_period);
        break;
    default:
        return unknown_command(command).bytes();
    }
    return response.bytes();
}

bool start_camera_session(CameraRecord& camera, std::span<const uint8_t> early_bytes) {
    return start_detached("camera session", [&camera, bytes = std::vector<uint8_t>(early_bytes.begin(), early_bytes.end())]() mutable {
        run_session(camera, std::move(bytes));
    });
}
