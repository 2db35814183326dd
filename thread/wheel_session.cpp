#include "thread/wheel_session.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <thread>

#include "common/log.h"
#include "common/threads.h"
#include "driver/wheel_ops.h"
#include "registry/registry.h"
#include "thread/session_io.h"

namespace {

// Whether the wheel is registered, claimed and open.
bool wheel_attached(const WheelRecord& wheel) { return wheel_busy(wheel.info.id); }

// The connect steps after the claim: identification and the answer. False
// when the session must end; `released` as for cameras.
bool answer_connect(WheelRecord& wheel, SessionConnection& connection, bool& released) {
    WheelInfo info;
    if (int result = wheel_identify(wheel, info); result != 0) {
        log_message(LOG_ERR, "Wheel in bad state, usb_wheel_info() returned %d!", result);
        release_wheel(connection.sd());
        released = true;
        connection.send(connect_failure(TCP_CMD_CONNECTWHEEL, result).bytes(), "response");
        return false;
    }
    log_trace("Wheel opened:\n\tinfo: id: %u\n\tpid: %#x\n\tdesc: %s\n\tser: %s\n\tfilters: %d, %d", info.id, info.pid,
              info.desc, info.ser, info.filters, info.filters2);
    Response response(TCP_CMD_CONNECTWHEEL, 0);
    response.set(20, info);
    return connection.send(response.bytes(), "response");
}

void run_session(WheelRecord& wheel, std::vector<uint8_t> early_bytes, std::vector<uint8_t> unsent) {
    const int sd = wheel.owner_sock;
    log_trace("Wheel thread: %#x, tid: %d started", static_cast<unsigned>(pthread_self()),
              static_cast<int>(syscall(SYS_gettid)));
    bool released = false;
    {
        SessionConnection connection(sd, early_bytes);
        if (connection.send(unsent, "response") && answer_connect(wheel, connection, released)) {
            run_request_loop(connection, [&](const Request& request) {
                return connection.send(serve_wheel_request(wheel, request), "response");
            });
        }
        log_trace("Client %d disconnected (thread)", sd);
    }
    if (!released)
        release_wheel(sd);
    unregister_client(sd);
    log_trace("Wheel thread %#x finished", static_cast<unsigned>(pthread_self()));
}

}  // namespace

std::vector<uint8_t> serve_wheel_request(WheelRecord& wheel, const Request& request) {
    const uint32_t command = request.command();
    Response response(command, 0);
    int result = 0;
    switch (command) {
    case TCP_CMD_ISCONNECTED:
        result = wheel_attached(wheel) ? 0 : 1;
        break;
    case TCP_CMD_WHEELSETPOSITION: {
        auto position = request.field<uint32_t>(16);
        result = position ? wire_status(wheel_set_position(wheel, *position)) : -1;
        break;
    }
    case TCP_CMD_WHEELGETCOUNTS: {
        int first = 0, second = 0;
        result = wire_status(wheel_get_counts(wheel, first, second));
        if (result != 0)
            first = second = 0;
        response.set<int32_t>(20, first);
        response.set<int32_t>(24, second);
        break;
    }
    case TCP_CMD_WHEELSETPOSITIONS: {
        auto first = request.field<uint32_t>(16);
        auto second = request.field<uint8_t>(20);
        result = first && second ? wire_status(wheel_set_positions(wheel, static_cast<uint8_t>(*first), *second)) : -1;
        break;
    }
    default:
        return unknown_command(command).bytes();
    }
    response.set_status(result == -2 ? 0 : result);
    return response.bytes();
}

bool start_wheel_session(WheelRecord& wheel, std::span<const uint8_t> early_bytes, std::vector<uint8_t> unsent) {
    return start_detached("wheel session", [&wheel, bytes = std::vector<uint8_t>(early_bytes.begin(), early_bytes.end()),
                                            unsent = std::move(unsent)]() mutable {
        run_session(wheel, std::move(bytes), std::move(unsent));
    });
}
