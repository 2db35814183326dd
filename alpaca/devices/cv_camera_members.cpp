// The members of the Alpaca camera that are readings, settings and
// capabilities: everything but connection and exposures.
#include <syslog.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "alpaca/devices/cv_camera.h"
#include "alpaca/devices/driver_info.h"
#include "alpaca/types.h"
#include "common/log.h"
#include "driver/camera_params.h"

namespace AlpacaServer {

namespace {

using Lock = std::lock_guard<std::mutex>;

int32_t int_param(const CameraRecord& camera, int index, int32_t fallback) {
    int32_t value = 0;
    return gip(&camera, index, &value) == 0 ? value : fallback;
}

}  // namespace

#define REQUIRE_USABLE()         \
    do {                         \
        if (!usable())           \
            return kNotConnected; \
    } while (0)

int CVCamera::get_description(char* value, std::size_t size) {
    REQUIRE_USABLE();
    char name[64] = {};
    get_name(name, sizeof name);
    char text[96];
    std::snprintf(text, sizeof text, "%s, Id: %u", name, static_cast<unsigned>(device_id));
    copy_text(value, size, text);
    return kOk;
}

int CVCamera::get_devicestate(DeviceStateMap& value) {
    value.clear();
    int32_t state = 0;
    double ccd = 0, power = 0, heat_sink = 0;
    bool ready = false, guiding = false;
    get_camerastate(state);
    get_ccdtemperature(ccd);
    get_coolerpower(power);
    get_heatsinktemperature(heat_sink);
    get_imageready(ready);
    value["CameraState"] = static_cast<int>(state);
    value["CCDTemperature"] = ccd;
    value["CoolerPower"] = power;
    value["HeatSinkTemperature"] = heat_sink;
    value["ImageReady"] = ready;
    if (usable() && capable(7)) {
        get_ispulseguiding(guiding);
        value["IsPulseGuiding"] = guiding;
    }
    value["TimeStamp"] = utc_timestamp();
    return kOk;
}

int CVCamera::get_interfaceversion(uint32_t& value) {
    value = 4;
    return kOk;
}

int CVCamera::get_name(char* value, std::size_t size) {
    Lock hold(claim_->name_mutex);
    copy_text(value, size, claim_->name.c_str());
    return kOk;
}

// --- sensor and binning ----------------------------------------------------

int CVCamera::get_bayeroffsetx(int32_t& value) {
    REQUIRE_USABLE();
    if (!capable(128))
        return kNotImplemented;
    value = capable(131) ? 1 : 0;
    return kOk;
}

int CVCamera::get_bayeroffsety(int32_t& value) {
    REQUIRE_USABLE();
    if (!capable(128))
        return kNotImplemented;
    value = capable(132) ? 1 : 0;
    return kOk;
}

int CVCamera::get_binx(int32_t& value) {
    REQUIRE_USABLE();
    Lock hold(road_.exposure_mutex);
    value = record().bin_x;
    return kOk;
}

int CVCamera::get_biny(int32_t& value) {
    REQUIRE_USABLE();
    Lock hold(road_.exposure_mutex);
    value = record().bin_y;
    return kOk;
}

// Binning, readout mode and gain are read by the readout: they change only
// while nothing exposes or reads (1035 otherwise).
int CVCamera::put_binx(int32_t value) {
    REQUIRE_USABLE();
    CameraRecord& camera = record();
    Lock hold(road_.exposure_mutex);
    if (value < 1 || value > 255)
        return kInvalidValue;
    if (road_.state() == ExposureState::exposing || road_.state() == ExposureState::reading)
        return kInvalidOperation;
    const uint8_t b = static_cast<uint8_t>(value);
    const uint8_t other = capable(10) ? camera.bin_y : b;
    return set_binning(camera, b, other).is_ok() ? kOk : kInvalidValue;
}

int CVCamera::put_biny(int32_t value) {
    REQUIRE_USABLE();
    CameraRecord& camera = record();
    Lock hold(road_.exposure_mutex);
    if (value < 1 || value > 255)
        return kInvalidValue;
    if (road_.state() == ExposureState::exposing || road_.state() == ExposureState::reading)
        return kInvalidOperation;
    const uint8_t b = static_cast<uint8_t>(value);
    const uint8_t other = capable(10) ? camera.bin_x : b;
    return set_binning(camera, other, b).is_ok() ? kOk : kInvalidValue;
}

int CVCamera::get_cameraxsize(int32_t& value) {
    REQUIRE_USABLE();
    value = int_param(record(), 1, 0);
    return kOk;
}

int CVCamera::get_cameraysize(int32_t& value) {
    REQUIRE_USABLE();
    value = int_param(record(), 2, 0);
    return kOk;
}

int CVCamera::get_canabortexposure(bool& value) {
    REQUIRE_USABLE();
    value = true;
    return kOk;
}

int CVCamera::get_canstopexposure(bool& value) {
    REQUIRE_USABLE();
    value = true;
    return kOk;
}

int CVCamera::get_canasymmetricbin(bool& value) {
    REQUIRE_USABLE();
    value = capable(10);
    return kOk;
}

int CVCamera::get_canfastreadout(bool& value) {
    REQUIRE_USABLE();
    value = false;
    return kOk;
}

int CVCamera::get_cangetcoolerpower(bool& value) {
    REQUIRE_USABLE();
    value = capable(4);
    return kOk;
}

int CVCamera::get_cansetccdtemperature(bool& value) {
    REQUIRE_USABLE();
    value = capable(4);
    return kOk;
}

int CVCamera::get_canpulseguide(bool& value) {
    REQUIRE_USABLE();
    value = capable(7);
    return kOk;
}

// --- temperature and cooler -------------------------------------------------

float CVCamera::cached_value(int index) {
    CameraRecord& camera = record();
    std::atomic<float>& slot = value_cache_[static_cast<size_t>(index_to_value_index(index))];
    float value = 0;
    if (camera.reading.load() || get_value(camera, index, value).failed())
        return slot.load();
    slot.store(value);
    return value;
}

int CVCamera::get_ccdtemperature(double& value) {
    REQUIRE_USABLE();
    value = cached_value(0);
    return kOk;
}

int CVCamera::get_cooleron(bool& value) {
    REQUIRE_USABLE();
    if (!capable(4))
        return kNotImplemented;
    value = cooler_on_.load();
    return kOk;
}

int CVCamera::put_cooleron(bool value) {
    REQUIRE_USABLE();
    if (!capable(4))
        return kNotImplemented;
    CameraRecord& camera = record();
    cooler_on_.store(value);
    if (!value) {
        // The target becomes the heat sink's temperature: the cooler rests.
        float heat_sink = 0;
        set_point_.store(get_value(camera, 2, heat_sink).is_ok() ? heat_sink : DEFAULT_SET_POINT);
    }
    (void)set_temperature(camera, set_point_.load());
    return kOk;
}

int CVCamera::get_coolerpower(double& value) {
    REQUIRE_USABLE();
    double x = 0;
    if (is_dual_sample(record())) {
        x = 1000.0 * dual_cooler_power_.load();
    } else {
        if (!capable(12))
            return kNotImplemented;
        x = 1000.0 * cached_value(11);
    }
    value = std::round(x) / 10.0;
    return kOk;
}

int CVCamera::get_electronsperadu(double& value) {
    REQUIRE_USABLE();
    if (!capable(13))
        return kNotImplemented;
    value = cached_value(20);
    return kOk;
}

int CVCamera::get_heatsinktemperature(double& value) {
    REQUIRE_USABLE();
    const uint32_t camera_class = record().camera_class;
    if (camera_class == 2 || camera_class == 4 || camera_class == 5)
        return kNotImplemented;
    value = cached_value(2);
    return kOk;
}

int CVCamera::get_setccdtemperature(double& value) {
    REQUIRE_USABLE();
    if (!capable(4))
        return kNotImplemented;
    value = set_point_.load();
    return kOk;
}

int CVCamera::put_setccdtemperature(double value) {
    REQUIRE_USABLE();
    if (!capable(4))
        return kNotImplemented;
    if (!std::isfinite(value))
        return kInvalidValue;
    set_point_.store(static_cast<float>(value));
    (void)set_temperature(record(), value);
    return kOk;
}

// --- exposure limits, gain, readout ------------------------------------------

int CVCamera::get_exposuremax(double& value) {
    REQUIRE_USABLE();
    int32_t ms = 0;
    value = gip(&record(), 10, &ms) == 0 ? ms / 1000.0 : 2147483.647;
    return kOk;
}

int CVCamera::get_exposuremin(double& value) {
    REQUIRE_USABLE();
    int32_t us = 0;
    value = gip(&record(), 9, &us) == 0 ? us / 1000000.0 : 0.0;
    return kOk;
}

int CVCamera::get_exposureresolution(double& value) {
    REQUIRE_USABLE();
    value = 0.0;
    return kOk;
}

int CVCamera::get_fastreadout(bool&) { REQUIRE_USABLE(); return kNotImplemented; }
int CVCamera::put_fastreadout(bool) { REQUIRE_USABLE(); return kNotImplemented; }
int CVCamera::get_fullwellcapacity(double&) { REQUIRE_USABLE(); return kNotImplemented; }
int CVCamera::get_gains(std::vector<std::string>&) { REQUIRE_USABLE(); return kNotImplemented; }
int CVCamera::get_offset(int32_t&) { REQUIRE_USABLE(); return kNotImplemented; }
int CVCamera::put_offset(int32_t) { REQUIRE_USABLE(); return kNotImplemented; }
int CVCamera::get_offsetmax(int32_t&) { REQUIRE_USABLE(); return kNotImplemented; }
int CVCamera::get_offsetmin(int32_t&) { REQUIRE_USABLE(); return kNotImplemented; }
int CVCamera::get_offsets(std::vector<std::string>&) { REQUIRE_USABLE(); return kNotImplemented; }
int CVCamera::get_percentcompleted(int32_t&) { REQUIRE_USABLE(); return kNotImplemented; }
int CVCamera::get_subexposureduration(double&) { REQUIRE_USABLE(); return kNotImplemented; }
int CVCamera::put_subexposureduration(double) { REQUIRE_USABLE(); return kNotImplemented; }

int CVCamera::get_gain(int32_t& value) {
    REQUIRE_USABLE();
    if (int_param(record(), 16, -1) < 1)
        return kNotImplemented;
    Lock hold(road_.exposure_mutex);
    value = static_cast<int32_t>(record().gain);
    return kOk;
}

int CVCamera::put_gain(int32_t value) {
    REQUIRE_USABLE();
    if (int_param(record(), 16, -1) <= 0)
        return kNotImplemented;
    Lock hold(road_.exposure_mutex);
    if (road_.state() == ExposureState::exposing || road_.state() == ExposureState::reading)
        return kInvalidOperation;
    (void)set_gain(record(), static_cast<uint32_t>(std::max(value, 0)));  // it limits the gain itself
    return kOk;
}

int CVCamera::get_gainmax(int32_t& value) {
    REQUIRE_USABLE();
    const int32_t max = int_param(record(), 16, -1);
    if (max < 1)
        return kNotImplemented;
    value = max;
    return kOk;
}

int CVCamera::get_gainmin(int32_t& value) {
    REQUIRE_USABLE();
    if (int_param(record(), 16, -1) < 1)
        return kNotImplemented;
    value = 0;
    return kOk;
}

int CVCamera::get_hasshutter(bool& value) {
    REQUIRE_USABLE();
    value = capable(3);
    return kOk;
}

int CVCamera::get_maxadu(int32_t& value) {
    REQUIRE_USABLE();
    value = int_param(record(), 17, 0);
    return kOk;
}

int CVCamera::get_maxbinx(int32_t& value) {
    REQUIRE_USABLE();
    value = int_param(record(), 5, 1);
    return kOk;
}

int CVCamera::get_maxbiny(int32_t& value) {
    REQUIRE_USABLE();
    value = int_param(record(), 6, 1);
    return kOk;
}

int CVCamera::get_numx(int32_t& value) { REQUIRE_USABLE(); value = num_x_.load(); return kOk; }
int CVCamera::put_numx(int32_t value) { REQUIRE_USABLE(); num_x_.store(value); return kOk; }
int CVCamera::get_numy(int32_t& value) { REQUIRE_USABLE(); value = num_y_.load(); return kOk; }
int CVCamera::put_numy(int32_t value) { REQUIRE_USABLE(); num_y_.store(value); return kOk; }
int CVCamera::get_startx(int32_t& value) { REQUIRE_USABLE(); value = start_x_.load(); return kOk; }
int CVCamera::put_startx(int32_t value) { REQUIRE_USABLE(); start_x_.store(value); return kOk; }
int CVCamera::get_starty(int32_t& value) { REQUIRE_USABLE(); value = start_y_.load(); return kOk; }
int CVCamera::put_starty(int32_t value) { REQUIRE_USABLE(); start_y_.store(value); return kOk; }

int CVCamera::get_pixelsizex(double& value) {
    REQUIRE_USABLE();
    value = int_param(record(), 3, 0) / 1000.0;
    return kOk;
}

int CVCamera::get_pixelsizey(double& value) {
    REQUIRE_USABLE();
    value = int_param(record(), 4, 0) / 1000.0;
    return kOk;
}

int CVCamera::get_readoutmode(int32_t& value) {
    REQUIRE_USABLE();
    Lock hold(road_.exposure_mutex);
    value = static_cast<int32_t>(record().read_mode);
    return kOk;
}

int CVCamera::put_readoutmode(int32_t value) {
    REQUIRE_USABLE();
    Lock hold(road_.exposure_mutex);
    if (value < 0)
        return kInvalidValue;
    if (road_.state() == ExposureState::exposing || road_.state() == ExposureState::reading)
        return kInvalidOperation;
    return set_read_mode(record(), static_cast<uint32_t>(value)).is_ok() ? kOk : kInvalidValue;
}

int CVCamera::get_readoutmodes(std::vector<std::string>& value) {
    REQUIRE_USABLE();
    value.clear();
    const CameraRecord& camera = record();
    if (!capable(2))
        return kOk;
    switch (camera.camera_class) {
    case 2: value = {"Fast Read", "Slow Read"}; break;
    case 3:
        if (camera.camera_type == 8)
            value = {"Ultra Low Noise", "Low Noise", "Preview"};
        else
            value = {"Low Noise", "Preview"};
        break;
    case 4: case 5: case 6: case 7:
        if (camera.ver128_lo < 2 || camera.ver131 < 2)
            value = {"8-bit", "12-bit"};
        else
            value = {"8-bit Slow", "12-bit Slow", "8-bit Fast", "12-bit Fast"};
        break;
    case 10:
        if (camera.bothgains)
            value = {"12-bit hi+lo"};
        else
            value = {"16-bit HDR", "12-bit hi-gain", "12-bit lo-gain", "\"16-bit\" lo-gain"};
        break;
    default:
        log_message(LOG_ERR, "get_readoutmodes(): bad _camera class %d\n", static_cast<int>(camera.camera_class));
        break;
    }
    return kOk;
}

int CVCamera::get_sensorname(char* value, std::size_t size) {
    REQUIRE_USABLE();
    const CameraRecord& camera = record();
    char chip[sizeof camera.info.chip + 1] = {};
    std::copy(std::begin(camera.info.chip), std::end(camera.info.chip), chip);
    copy_text(value, size, chip);
    return kOk;
}

int CVCamera::get_sensortype(int32_t& value) {
    REQUIRE_USABLE();
    value = capable(128) ? 2 : 0;
    return kOk;
}

// --- guiding -------------------------------------------------------------------

int CVCamera::get_ispulseguiding(bool& value) {
    REQUIRE_USABLE();
    if (!capable(7))
        return kNotImplemented;
    bool guiding = false;
    (void)is_guiding(record(), guiding);
    value = guiding;
    return kOk;
}

int CVCamera::pulseguide(int32_t direction, int32_t duration) {
    REQUIRE_USABLE();
    if (!capable(7))
        return kNotImplemented;
    if (duration < 0)
        return kInvalidValue;
    const auto d = static_cast<int16_t>(std::min<int32_t>(duration, 32767));
    int16_t ra = 0, dec = 0;
    switch (direction) {
    case 0: dec = d; break;                              // north
    case 1: dec = static_cast<int16_t>(-d); break;       // south
    case 2: ra = d; break;                               // east
    case 3: ra = static_cast<int16_t>(-d); break;        // west
    default: return kInvalidValue;
    }
    (void)pulse_guide(record(), ra, dec);
    return kOk;
}

}  // namespace AlpacaServer
