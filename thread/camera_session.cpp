#include "thread/camera_session.h"

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "common/log.h"
#include "common/threads.h"
#include "driver/camera_init.h"
#include "driver/camera_open.h"
#include "registry/registry.h"
#include "thread/camera_exposure.h"
#include "thread/camera_readings.h"
#include "thread/image_stream.h"
#include "thread/session_io.h"

namespace {

// The record flags a client sets with one byte: any value but 0 sets them.
// A request cut short before the byte is refused (−1) and changes nothing.
int set_flag(const Request& request, const std::function<void(bool)>& set) {
    const std::optional<uint8_t> value = request.field<uint8_t>(16);
    if (!value)
        return -1;
    set(*value != 0);
    return 0;
}

// A guide duration in milliseconds as the camera takes it, saturated
// rather than wrapped.
int16_t guide_ms(int32_t ms) { return static_cast<int16_t>(std::clamp<int32_t>(ms, INT16_MIN, INT16_MAX)); }

void put_gps_time(Response& response, const GpsTime& time) {
    response.set<int32_t>(20, time.year);
    response.set<int32_t>(24, time.month);
    response.set<int32_t>(28, time.day);
    response.set<int32_t>(32, time.hour);
    response.set<int32_t>(36, time.minute);
    response.set<double>(40, time.second);
}

std::optional<ExposureInfo> exposure_fields(const Request& request) {
    auto time = request.field<double>(16);
    auto x = request.field<int32_t>(24), y = request.field<int32_t>(28);
    auto w = request.field<int32_t>(32), h = request.field<int32_t>(36);
    auto shutter = request.field<uint8_t>(40);
    if (!time || !x || !y || !w || !h || !shutter)
        return std::nullopt;
    ExposureInfo exposure;
    exposure.exp_time = *time;
    exposure.x = *x;
    exposure.y = *y;
    exposure.w = *w;
    exposure.h = *h;
    exposure.shutter = *shutter != 0;
    return exposure;
}

// Commands that talk to the camera and are refused (−1) while it is busy,
// without touching it.
bool refused_when_busy(uint32_t command) {
    switch (command) {
    case TCP_CMD_SETBINNING: case TCP_CMD_SETFILTER: case TCP_CMD_SETREADMODE: case TCP_CMD_SETTEMPERATURE:
    case TCP_CMD_SETTEMPRAMP: case TCP_CMD_SETFEATURE8: case TCP_CMD_SETPREFLASH: case TCP_CMD_SETFEATURE5:
    case TCP_CMD_GUIDE: case TCP_CMD_ISGUIDING: case TCP_CMD_SETTYPE8PAIR: case TCP_CMD_SETGAIN:
    case TCP_CMD_GETAUXSTATE: case TCP_CMD_GETGPSTIME: case TCP_CMD_GETGPSDATA:
        return true;
    default:
        return false;
    }
}

// The commands of refused_when_busy: the result of the operation, −1 for a
// request without its fields.
int run_camera_operation(CameraSession& session, const Request& request, Response& response) {
    CameraRecord& camera = session.camera;
    const auto u8 = [&](size_t offset) { return request.field<uint8_t>(offset); };
    const auto i32 = [&](size_t offset) { return request.field<int32_t>(offset); };
    switch (request.command()) {
    case TCP_CMD_SETBINNING:
        return u8(16) && u8(20) ? wire_status(set_binning(camera, *u8(16), *u8(20))) : -1;
    case TCP_CMD_SETFILTER:
        return u8(16) ? wire_status(set_filter(camera, *u8(16))) : -1;
    case TCP_CMD_SETREADMODE:
        return i32(16) ? wire_status(set_read_mode(camera, static_cast<uint32_t>(*i32(16)))) : -1;
    case TCP_CMD_SETTEMPERATURE: {
        auto celsius = request.field<float>(16);
        return celsius ? set_temperature_request(session, *celsius) : -1;
    }
    case TCP_CMD_SETTEMPRAMP: {
        auto rate = request.field<float>(16);
        if (!rate)
            return -1;
        set_ramp_rate(session, *rate);
        return 0;
    }
    case TCP_CMD_SETFEATURE8:
        return u8(16) ? wire_status(set_feature8_level(camera, *u8(16))) : -1;
    case TCP_CMD_SETPREFLASH: {
        auto seconds = request.field<double>(16);
        auto count = request.field<uint32_t>(24);
        return seconds && count ? wire_status(set_preflash(camera, *seconds, *count)) : -1;
    }
    case TCP_CMD_SETFEATURE5:
        return u8(16) ? wire_status(set_feature5_level(camera, *u8(16))) : -1;
    case TCP_CMD_GUIDE:
        return i32(16) && i32(20) ? wire_status(pulse_guide(camera, guide_ms(*i32(16)), guide_ms(*i32(20)))) : -1;
    case TCP_CMD_ISGUIDING: {
        bool guiding = false;
        const int result = wire_status(is_guiding(camera, guiding));
        response.set<uint8_t>(20, guiding ? 1 : 0);
        return result;
    }
    case TCP_CMD_SETTYPE8PAIR:
        return i32(16) && i32(20)
                   ? wire_status(set_type8_pair(camera, static_cast<uint8_t>(*i32(16)), static_cast<uint8_t>(*i32(20))))
                   : -1;
    case TCP_CMD_SETGAIN: {
        auto gain = request.field<uint32_t>(16);
        return gain ? wire_status(set_gain(camera, *gain)) : -1;
    }
    case TCP_CMD_GETAUXSTATE: {
        uint32_t state = 0;
        const int result = wire_status(get_aux_state(camera, state));
        response.set<int32_t>(20, static_cast<int32_t>(state));
        return result;
    }
    case TCP_CMD_GETGPSTIME: {
        GpsTime time;
        const int result = wire_status(get_gps_time(camera, time));
        put_gps_time(response, time);
        return result;
    }
    case TCP_CMD_GETGPSDATA: {
        GpsData data;
        const int result = wire_status(get_gps_data(camera, data));
        put_gps_time(response, data.time);
        response.set<double>(48, data.position.latitude);
        response.set<double>(56, data.position.longitude);
        response.set<double>(64, data.position.altitude);
        response.set<int32_t>(72, data.position.satellites);
        response.set<uint8_t>(76, data.position.valid ? 1 : 0);
        return result;
    }
    default:
        return -1;
    }
}

// Commands about exposures, images, readings and record flags, served
// whether or not the camera is busy. nullopt for an unknown command.
std::optional<int> run_session_command(CameraSession& session, const Request& request, Response& response,
                                       bool& stream) {
    CameraRecord& camera = session.camera;
    const uint32_t command = request.command();
    switch (command) {
    case TCP_CMD_GETVALUE: {
        auto index = request.field<int32_t>(16);
        if (!index)
            return -1;
        float value = 0;
        const int result = get_value_request(session, *index, value);
        response.set<float>(20, value);
        return result;
    }
    case TCP_CMD_STARTEXPOSURE:
    case TCP_CMD_STARTEXPOSURE2: {
        auto exposure = exposure_fields(request);
        return exposure ? start_exposure_request(session, *exposure, command == TCP_CMD_STARTEXPOSURE2) : -1;
    }
    case TCP_CMD_ABORTEXPOSURE: {
        auto keep = request.field<uint8_t>(16);
        return keep ? abort_exposure_request(session, *keep) : -1;
    }
    case TCP_CMD_IMAGEREADY: {
        bool ready = false;
        const int result = image_ready_request(session, ready);
        response.set<uint8_t>(20, ready ? 1 : 0);
        return result;
    }
    case TCP_CMD_READIMAGE:
    case TCP_CMD_READIMAGE2: {
        std::optional<uint8_t> start_next = uint8_t{0};
        if (command == TCP_CMD_READIMAGE2)
            start_next = request.field<uint8_t>(16);
        const int result = start_next ? read_image_request(session, *start_next != 0) : -1;
        stream = result == 0;
        // The length counts the bytes that follow: a refused read is the
        // header alone, so a client may always read by the length.
        response.set_total_length(stream ? session.image_size : 0);
        return result;
    }
    case TCP_CMD_ISCONNECTED:
        return camera_busy(camera.info.id) ? 0 : 1;
    case TCP_CMD_OPENSHUTTER:
        if (!camera.reading)
            (void)open_shutter(camera);
        return 0;
    case TCP_CMD_CLOSESHUTTER:
        if (!camera.reading)
            (void)close_shutter(camera);
        return 0;
    case TCP_CMD_SETOVERSCAN:
        return set_flag(request, [&](bool on) { camera.overscan = on; });
    case TCP_CMD_SETBOTHGAINS:
        return set_flag(request, [&](bool on) { camera.bothgains = on; });
    case TCP_CMD_SETHWBINNING:
        return set_flag(request, [&](bool on) { camera.hw_bin.enabled = on; });
    case TCP_CMD_SETBINMODE:
        return set_flag(request, [&](bool on) { camera.bin_sum = camera.bin_saturate = on; });
    case TCP_CMD_GETCLOCKPERIOD:
        response.set<double>(20, camera.clock_period);
        return 0;
    default:
        return std::nullopt;
    }
}

// The connect steps after the claim: identification, initialisation and the
// answer. False when the session must end; `released` tells whether the
// claim was given up already (a camera in a bad state is released before its
// answer goes out, so the client finds it free at once).
bool answer_connect(CameraRecord& camera, SessionConnection& connection, bool& released) {
    CameraInfo info;
    if (int result = usb_camera_info(camera, info); result != 0) {
        log_message(LOG_ERR, "Camera in bad state, usb_camera_info() returned %d!", result);
        release_camera(connection.sd());
        released = true;
        connection.send(connect_failure(TCP_CMD_CONNECTCAMERA, result).bytes(), "response");
        return false;
    }
    log_trace("Camera opened:\n\tinfo: id: %u\n\tpid: %#x\n\tdesc: %s\n\tser: %s\n\tchip: %s, %ix%i, %i:%i\n\tfilters: %d",
              info.id, info.pid, info.desc, info.ser, info.chip, info.width, info.height, info.pixel_w, info.pixel_h,
              info.filters);
    Response response(TCP_CMD_CONNECTCAMERA, 0);
    response.set(20, info);
    init_camera(camera, info);
    return connection.send(response.bytes(), "response");
}

void serve_client(CameraRecord& camera, SessionConnection& connection) {
    CameraSession session(camera);
    if (start_session_timers(session)) {
        signal(SIGPIPE, SIG_IGN);
        run_request_loop(connection, [&](const Request& request) {
            // A read of a classic camera's exposure that still runs waits
            // for its readout, watching the client meanwhile.
            const uint32_t command = request.command();
            if ((command == TCP_CMD_READIMAGE || command == TCP_CMD_READIMAGE2) && !is_cmos_type(session.camera) &&
                !await_readout(connection, session))
                return false;
            CameraAnswer answer = serve_camera_request(session, request);
            if (!connection.send(answer.response.bytes(), "response"))
                return false;
            if (!answer.stream_image)
                return true;
            if (!stream_image(connection, session))
                return false;
            start_timer(*session.clean_timer, session_period(CLEAN_PERIOD_S), session_period(CLEAN_PERIOD_S));
            return true;
        });
    }
    log_trace("Client %d disconnected (thread)", connection.sd());
    // The timers go first, waiting for work in progress; then the
    // background transfer that may still write the buffer.
    session.power_timer.reset();
    session.clean_timer.reset();
    session.exposure_timer.reset();
    session.ramp_timer.reset();
    finish_transfer(session);
}

void run_session(CameraRecord& camera, std::vector<uint8_t> early_bytes, std::vector<uint8_t> unsent) {
    const int sd = camera.owner_sock;
    log_trace("Camera thread: %#x, tid: %d started", static_cast<unsigned>(pthread_self()),
              static_cast<int>(syscall(SYS_gettid)));
    bool released = false;
    {
        SessionConnection connection(sd, early_bytes);
        // Answers the main loop could not send yet come first.
        if (connection.send(unsent, "response") && answer_connect(camera, connection, released))
            serve_client(camera, connection);
    }
    if (!released)
        release_camera(sd);
    unregister_client(sd);
    log_trace("Camera thread %#x finished", static_cast<unsigned>(pthread_self()));
}

}  // namespace

CameraAnswer serve_camera_request(CameraSession& session, const Request& request) {
    const uint32_t command = request.command();
    Response response(command, 0);
    bool stream = false;
    std::optional<int> result = run_session_command(session, request, response, stream);
    if (!result && refused_when_busy(command))
        result = session.camera.reading ? -1 : run_camera_operation(session, request, response);
    if (!result)
        return CameraAnswer(unknown_command(command));
    response.set_status(*result == -2 ? 0 : *result);
    return CameraAnswer(std::move(response), stream);
}

bool start_session_timers(CameraSession& session) {
    session.ramp_timer = std::make_unique<SessionTimer>("temp ramp", [&session] { ramp_expired(session); });
    if (!session.ramp_timer->created())
        return false;
    session.exposure_timer = std::make_unique<SessionTimer>("exposure", [&session] { exposure_expired(session); });
    if (!session.exposure_timer->created())
        return false;
    session.clean_timer = std::make_unique<SessionTimer>("clean", [&session] { clean_expired(session); });
    if (!session.clean_timer->created())
        return false;
    const double clean = session_period(CLEAN_PERIOD_S);
    if (start_timer(*session.clean_timer, clean, clean) != 0)
        return false;
    if (is_dual_sample(session.camera)) {
        session.power_timer = std::make_unique<SessionTimer>("power util", [&session] { power_expired(session); });
        if (!session.power_timer->created())
            return false;
        const double power = session_period(POWER_PERIOD_S);
        if (start_timer(*session.power_timer, power, power) != 0)
            return false;
    }
    return true;
}

bool start_camera_session(CameraRecord& camera, std::span<const uint8_t> early_bytes, std::vector<uint8_t> unsent) {
    return start_detached("camera session", [&camera, bytes = std::vector<uint8_t>(early_bytes.begin(), early_bytes.end()),
                                             unsent = std::move(unsent)]() mutable {
        run_session(camera, std::move(bytes), std::move(unsent));
    });
}
