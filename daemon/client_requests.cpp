#include "daemon/client_requests.h"

#include <syslog.h>

#include "common/log.h"
#include "registry/registry.h"

namespace {

using Then = MainPhaseAnswer::Then;

MainPhaseAnswer enumeration(uint32_t command, const DeviceList& list) {
    Response response(command, list.count < 0 ? -1 : 0);
    response.set<int32_t>(20, list.count);
    response.append(list.entries);
    return {response.bytes(), Then::stay};
}

MainPhaseAnswer connect_camera(int sd, uint32_t id) {
    log_trace("Connect: cam_id: %u", id);
    if (camera_busy(id))
        return {connect_failure(TCP_CMD_CONNECTCAMERA, -1).bytes(), Then::disconnect};
    const Claimed<CameraRecord> claim = claim_camera(id, sd);
    if (claim.result == ClaimResult::busy)
        return {connect_failure(TCP_CMD_CONNECTCAMERA, -1).bytes(), Then::disconnect};
    if (!claim)
        return {connect_failure(TCP_CMD_CONNECTCAMERA, 1).bytes(), Then::stay};
    // Identification, initialisation and the answer are the session's first
    // work, so a slow camera holds up nobody else.
    MainPhaseAnswer answer{{}, Then::camera_session};
    answer.camera = claim.record;
    return answer;
}

MainPhaseAnswer connect_wheel(int sd, uint32_t id) {
    log_trace("Connect: wheel_id: %u", id);
    if (wheel_busy(id))
        return {connect_failure(TCP_CMD_CONNECTWHEEL, -1).bytes(), Then::disconnect};
    const Claimed<WheelRecord> claim = claim_wheel(id, sd);
    if (claim.result == ClaimResult::busy)
        return {connect_failure(TCP_CMD_CONNECTWHEEL, -1).bytes(), Then::disconnect};
    if (!claim)
        return {connect_failure(TCP_CMD_CONNECTWHEEL, 1).bytes(), Then::stay};
    MainPhaseAnswer answer{{}, Then::wheel_session};
    answer.wheel = claim.record;
    return answer;
}

}  // namespace

MainPhaseAnswer answer_main_request(int sd, const Request& request) {
    const uint32_t command = request.command();
    // A connect without its id (a request cut short) can't name a device.
    const auto id = request.field<uint32_t>(16);
    switch (command) {
    case TCP_CMD_ENUMCAMERAS:
    case TCP_CMD_ENUMCAMERAS_INTERNAL: {
        const bool internal = command == TCP_CMD_ENUMCAMERAS_INTERNAL;
        log_trace("%sEnumerate cams.", internal ? "Internal " : "");
        MainPhaseAnswer answer = enumeration(command, list_cameras(internal));
        log_trace("Enumerate end.");
        return answer;
    }
    case TCP_CMD_ENUMWHEELS:
    case TCP_CMD_ENUMWHEELS_INTERNAL: {
        const bool internal = command == TCP_CMD_ENUMWHEELS_INTERNAL;
        log_trace("%sEnumerate wheels.", internal ? "Internal " : "");
        MainPhaseAnswer answer = enumeration(command, list_wheels(internal));
        log_trace("Enumerate end.");
        return answer;
    }
    case TCP_CMD_CONNECTCAMERA:
        if (id)
            return connect_camera(sd, *id);
        break;
    case TCP_CMD_CONNECTWHEEL:
        if (id)
            return connect_wheel(sd, *id);
        break;
    case TCP_CMD_GETVERSION:
        return {version_response().bytes(), Then::stay};
    default:
        log_trace("Unknown command %i", static_cast<int>(command));
        break;
    }
    return {refusal(command).bytes(), Then::stay};
}
