#include "sim/camera_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "sim/cmos_readout.h"

namespace sim {

namespace {

constexpr uint8_t STATUS_OK = 0x80;
constexpr uint8_t STATUS_BAD_PARAMETER = 0x81;

// Where the virtual GPS receiver stands.
constexpr const char* GPS_LATITUDE = "4712.3456,N";
constexpr const char* GPS_LONGITUDE = "00830.5000,E";
constexpr const char* GPS_ALTITUDE = "412.5";

void put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The firmware pads its 15-byte texts with blanks, without a terminator.
void put_text(std::vector<uint8_t>& bytes, size_t offset, const std::string& text) {
    memset(&bytes[offset], ' ', 15);
    memcpy(&bytes[offset], text.data(), std::min<size_t>(text.size(), 15));
}

uint32_t mix(uint32_t value) {
    value ^= value >> 16;
    value *= 0x7feb352dU;
    value ^= value >> 15;
    value *= 0x846ca68bU;
    value ^= value >> 16;
    return value;
}

// Readings of the cooled CCD and CMOS cameras with 16-bit converters.
uint16_t general_temperature(double celsius) { return raw_word((celsius + 85.79743083) / 0.00219729575); }
uint16_t general_voltage(double volts) { return raw_word(volts * 65536.0 / 18.125); }

// Class 2: the small guiding cameras, value command 0x0E, no cooling
// regulation and no shutter.
class SmallCamera final : public CameraModel {
public:
    explicit SmallCamera(const CameraProfile& profile) : CameraModel(profile) {
        on(0x01, [this](std::span<const uint8_t> p) {
            if (p.empty() || p[0] < 1 || p[0] > 4)
                return status(STATUS_BAD_PARAMETER);
            state_.bin_x = state_.bin_y = p[0];
            return status(STATUS_OK);
        });
        install_read_mode(0x02, {0x02, 0x10});
        install_clear(0x03);
        install_guiding(0x10, 0x11, true);
        install_level(0x0F, state_.feature5, 0xFF);
        install_classic_readout();
    }

protected:
    std::optional<uint16_t> raw_value(uint8_t sub_index) override {
        switch (sub_index) {
        case 0: return raw_temperature(state().sensor_celsius);
        case 2: return raw_voltage(supply_volts_);
        case 255: return profile().subframe ? 0x8080 : 0x0000;  // firmware with sub-frame readout
        default: return CameraModel::raw_value(sub_index);
        }
    }
    uint16_t raw_temperature(double celsius) const override {
        if (profile().flags & 0x02)  // reports signed 1/16 degrees
            return static_cast<uint16_t>(static_cast<int16_t>(std::lround(celsius * 16.0)));
        return raw_word((celsius + 85.79743083) / 0.070313465);
    }
    uint16_t raw_voltage(double volts) const override { return raw_word(volts * 2048.0 / 17.9075); }
};

// Class 3: the big CCD cameras, some delivering two samples per pixel.
class BigCamera final : public CameraModel {
public:
    explicit BigCamera(const CameraProfile& profile) : CameraModel(profile) {
        const uint16_t pid = profile.product_id;
        dual_sample_ = pid >= 1026 && pid <= 1028;
        const int type = facts().type;
        on(0x11, [this](std::span<const uint8_t>) {
            // Dual-sample cameras report the cooler's on and off times, the
            // others its power as a fraction p/q; the cycle serves both.
            const auto [on_time, off_time] = cooler_cycle();
            if (dual_sample_)
                return ok_with({on_time, off_time});
            return ok_with({on_time, static_cast<uint16_t>(on_time + off_time)});
        });
        install_set_point(0x10);
        install_shutter(0x0C, 0x0D);
        install_filter(0x0E);
        install_clear(0x04);
        install_binning_xy();
        if (type == 8)
            install_read_mode(0x03, {0x02, 0x01, 0x00});
        else
            install_read_mode(0x03, {0x01, 0x00});
        install_aux(0x1B);
        if (type != 3) {
            const bool two_levels = type >= 6 && type <= 8 && (profile.flags & 0x08);
            install_level(0x17, state_.feature8, two_levels ? 2 : 1);
            on(0x18, [this](std::span<const uint8_t> p) {
                if (p.size() < 3 || p[2] > 16)
                    return status(STATUS_BAD_PARAMETER);
                state_.preflash_ms = static_cast<uint16_t>(p[0] | p[1] << 8);
                state_.preflash_count = p[2];
                return status(STATUS_OK);
            });
        }
        if (type == 8) {
            on(0x19, [this](std::span<const uint8_t> p) {
                if (p.size() < 2)
                    return status(STATUS_BAD_PARAMETER);
                state_.pair_a = p[0];
                state_.pair_b = p[1];
                return status(STATUS_OK);
            });
        }
        install_classic_readout();
    }

protected:
    std::optional<uint16_t> raw_value(uint8_t sub_index) override {
        switch (sub_index) {
        case 0: return raw_temperature(state().sensor_celsius);
        case 1: return raw_temperature(second_celsius());
        case 2: return raw_voltage(supply_volts_);
        case 3: return raw_word(electrons_per_adu_ * 1000.0);
        default: return CameraModel::raw_value(sub_index);
        }
    }
    uint16_t raw_temperature(double celsius) const override {
        if (!dual_sample_)
            return general_temperature(celsius);
        if (facts().type == 3)
            return raw_word((celsius + 89.03645833) / 0.082651774);
        return raw_word((celsius + 85.79743083) / 0.008789183);
    }
    uint16_t raw_voltage(double volts) const override {
        if (!dual_sample_)
            return general_voltage(volts);
        if (facts().type == 3)
            return raw_word(volts * 2048.0 / 16.363636);
        return raw_word(volts * 16384.0 / 18.125);
    }
    double set_point_celsius(uint16_t raw) const override {
        if (!dual_sample_)
            return CameraModel::set_point_celsius(raw);
        if (facts().type == 3)
            return (raw - 1077.248) / 12.09895385;
        return (raw - 9761.707047) / 113.7762163;
    }

private:
    bool dual_sample_ = false;
};

// Classes 4 and 5: uncooled cameras reading their temperature in 1/256 degree.
class UncooledCamera final : public CameraModel {
public:
    explicit UncooledCamera(const CameraProfile& profile) : CameraModel(profile) {
        install_shutter(0x05, 0x06);
        install_clear(0x04);
        install_read_mode(0x03, {0x00, 0x01, 0x02, 0x03});
        install_guiding(0x18, 0x19, false);
        install_level(0x0D, state_.feature5, 0xFF);
        install_gain(240);
        install_classic_readout();
    }

protected:
    std::optional<uint16_t> raw_value(uint8_t sub_index) override {
        switch (sub_index) {
        case 0: return raw_temperature(state().sensor_celsius);
        case 3: return raw_word(electrons_per_adu_ * 1000.0);
        default: return CameraModel::raw_value(sub_index);
        }
    }
    uint16_t raw_temperature(double celsius) const override { return raw_word(celsius * 256.0); }
    uint16_t raw_voltage(double volts) const override { return general_voltage(volts); }
};

// Classes 1, 6 and 7 outside the CMOS types, and product ids nobody knows.
class GeneralCamera : public CameraModel {
public:
    explicit GeneralCamera(const CameraProfile& profile) : CameraModel(profile) {
        const int cls = facts().camera_class;
        const bool new_interface = profile.product_id >= 3072;
        on(0x11, [this](std::span<const uint8_t>) {
            const auto [on_time, off_time] = cooler_cycle();
            return ok_with({on_time, static_cast<uint16_t>(on_time + off_time)});
        });
        install_set_point(0x0C);
        install_filter(0x10);
        install_clear(0x04);
        install_aux(0x23);
        if (new_interface) {
            install_shutter(0x05, 0x06);
            install_gain(cls == 6 || cls == 7 ? 240 : 0xFFFF);
        } else {
            // The older firmware shares 0x0C between the set point (with its
            // word) and opening the shutter (without).
            Handler set_point = handlers(0x0C);
            install_shutter(0x0C, 0x0D);
            Handler open = handlers(0x0C);
            on(0x0C, [set_point, open](std::span<const uint8_t> p) { return p.size() >= 2 ? set_point(p) : open(p); });
            install_binning_xy();
        }
        if (cls == 6 || cls == 7)
            install_read_mode(0x03, {0x00, 0x01, 0x02, 0x03});
        if (cls == 6) {
            install_guiding(0x18, 0x19, false);
            install_level(0x0D, state_.feature5, 0xFF);
        } else {
            install_level(0x0E, state_.feature8, 100);
        }
        install_classic_readout();
    }

protected:
    std::optional<uint16_t> raw_value(uint8_t sub_index) override {
        switch (sub_index) {
        case 0: return raw_temperature(state().sensor_celsius);
        case 1: return raw_temperature(second_celsius());
        case 2: return raw_voltage(supply_volts_);
        case 3: return raw_word(electrons_per_adu_ * 1000.0);
        default: return CameraModel::raw_value(sub_index);
        }
    }
    uint16_t raw_temperature(double celsius) const override { return general_temperature(celsius); }
    uint16_t raw_voltage(double volts) const override { return general_voltage(volts); }
};

// Types 22, 23 and 24: the CMOS cameras with hardware binning, GPS time
// stamps and the frame readout.
class CmosCamera final : public GeneralCamera {
public:
    explicit CmosCamera(const CameraProfile& profile)
        : GeneralCamera(profile), plugged_steady_(Clock::now()),
          plugged_utc_(profile.gps_epoch ? static_cast<double>(*profile.gps_epoch) : 0) {
        const int type = facts().type;
        const int cls = facts().camera_class;
        on(0x01, [this](std::span<const uint8_t> p) {
            if (p.size() < 3 || p[0] != p[1] || p[0] < 1 || p[0] > 2)
                return status(STATUS_BAD_PARAMETER);
            state_.hw_bin_x = p[0];
            state_.hw_bin_y = p[1];
            state_.hw_bin_mode = p[2];
            return status(STATUS_OK);
        });
        if (type == 24) {
            on(0x17, nullptr);
            install_read_mode(0x03, {0x00, 0x01, 0x02});
            on(0x15, [this](std::span<const uint8_t> p) {
                if (p.size() < 3 || p[0] > 16)
                    return status(STATUS_BAD_PARAMETER);
                state_.preflash_count = p[0];
                state_.preflash_ms = static_cast<uint16_t>(p[1] | p[2] << 8);
                return status(STATUS_OK);
            });
            on(0x12, [this](std::span<const uint8_t> p) { return calibration(p); });
        } else {
            on(0x03, nullptr);  // one fixed readout mode
            install_gain(type == 22 ? 4030 : 1957);
        }
        if (cls == 8)
            on(0x0E, nullptr);  // no second output
        on(0x2A, [this](std::span<const uint8_t>) { return stamp(exposure_start_utc_.value_or(utc_now())); });
        on(0x2B, [this](std::span<const uint8_t>) { return stamp(utc_now()); });
        on(0x2C, [this](std::span<const uint8_t>) { return position(); });
        on(0x2D, [this](std::span<const uint8_t>) {
            std::vector<uint8_t> bytes(5);
            bytes[0] = STATUS_OK;
            put32(bytes, 1, measured_clock());
            return ok_bytes(std::move(bytes));
        });
        on(0x24, [this](std::span<const uint8_t> p) { return start_exposure(p); });
        on(0x25, [this](std::span<const uint8_t>) {
            return ok_bytes({STATUS_OK, static_cast<uint8_t>(frame_ready() ? 1 : 0)});
        });
        on(0x26, [this](std::span<const uint8_t> p) { return stop_exposure(p); });
        on(0x27, [this](std::span<const uint8_t>) { return readout(false); });
        on(0x28, [this](std::span<const uint8_t>) { return readout(true); });
    }

private:
    // One exposure and the frame it leaves: the window, and the binning and
    // readout mode the camera had when it began.
    struct Exposure {
        CmosExposureRequest request;
        unsigned bin = 1;
        uint8_t read_mode = 0;
        Clock::time_point end;
        bool kept = true;   // false: aborted, no frame
        bool read = false;  // the frame has been streamed
    };

    double ticks_per_second() const { return facts().type == 24 ? 48449.61240310078 : 10000.0; }

    // [0x24, mode, x0, y0, width, height, ticks32]: the exposure runs for
    // its ticks from now; a window the sensor can't read is refused.
    Answer start_exposure(std::span<const uint8_t> p) {
        if (p.size() < 13)
            return status(STATUS_BAD_PARAMETER);
        auto word = [&p](size_t at) { return static_cast<uint16_t>(p[at] | p[at + 1] << 8); };
        CmosExposureRequest request;
        request.mode = p[0];
        request.x0 = word(1);
        request.y0 = word(3);
        request.width = word(5);
        request.height = word(7);
        request.ticks = p[9] | p[10] << 8 | p[11] << 16 | static_cast<uint32_t>(p[12]) << 24;
        const unsigned bin = state_.hw_bin_x;
        if (!cmos_window_valid(layout(), request, bin))
            return status(STATUS_BAD_PARAMETER);
        state_.exposure = request;
        begin_exposure(request, bin, Clock::now());
        return status(STATUS_OK);
    }

    void begin_exposure(const CmosExposureRequest& request, unsigned bin, Clock::time_point start) {
        Exposure exposure;
        exposure.request = request;
        exposure.bin = bin;
        exposure.read_mode = state_.read_mode.value_or(0);
        exposure.end = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(request.ticks / ticks_per_second()));
        exposure_ = exposure;
        exposure_start_utc_ = utc_now() + std::chrono::duration<double>(start - Clock::now()).count();
        ++state_.exposures;
    }

    bool frame_ready() const {
        return exposure_ && exposure_->kept && !exposure_->read && Clock::now() >= exposure_->end;
    }

    // [0x26, keep]: ends a running exposure now, keeping its frame when
    // `keep` is set and dropping it otherwise.
    Answer stop_exposure(std::span<const uint8_t> p) {
        const bool keep = !p.empty() && p[0] != 0;
        const Clock::time_point now = Clock::now();
        if (exposure_ && !exposure_->read && now < exposure_->end) {
            exposure_->end = now;
            exposure_->kept = keep;
        }
        return ok_bytes({STATUS_OK, 0x00});
    }

    // [0x27]: streams the last exposure's frame, once; a frame still being
    // exposed is streamed when it ends. [0x28] also starts the next
    // exposure of the same window as soon as this one has ended.
    Answer readout(bool start_next) {
        if (!exposure_ || !exposure_->kept || exposure_->read)
            return Answer{};
        Exposure& done = *exposure_;
        done.read = true;
        ++state_.readouts;
        const CameraModel* model = this;
        Answer answer;
        answer.readout = cmos_frame_stream(
            layout(), done.request, done.bin, gain_images(done.read_mode), coefficients(),
            [model](uint32_t x, uint32_t y) { return model->pattern_pixel(x, y); }, done.end);
        answer.readout->bytes_per_second = static_cast<double>(profile().read_rate);
        if (start_next)
            begin_exposure(done.request, done.bin, std::max(Clock::now(), done.end));
        return answer;
    }

    CmosLayout layout() const {
        return cmos_layout(facts().type, facts().camera_class, profile().width, profile().height);
    }

    // The sensor's own dual-gain coefficients: those of its calibration
    // block, or the factory's when the block holds none.
    HdrCoefficients coefficients() const {
        const uint16_t offset = profile().cal_offset, gain = profile().cal_gain;
        if (offset == 0 || offset == 0xFFFF || gain == 0 || gain == 0xFFFF) {
            if (profile().product_id == 3138)
                return {24925, -3654};
            return {21703, -1899};
        }
        return {gain, static_cast<int16_t>(offset)};
    }
    bool has_gps() const { return (profile().flags & 0x0C) != 0; }

    double utc_now() const {
        if (!profile().gps_epoch)
            return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        return plugged_utc_ + std::chrono::duration<double>(Clock::now() - plugged_steady_).count();
    }

    // The time-stamp clock as the receiver's pulses measure it: a little
    // off its nominal rate, as a real oscillator is.
    uint32_t measured_clock() const {
        switch (facts().camera_class) {
        case 10: return 25000000 + 37;
        case 7: return 72000000 + 37;
        default: return 72040000 + 37;
        }
    }

    // The receiver's last fix was two whole seconds before `utc`; the
    // camera counts the seconds and the clock ticks since.
    Answer stamp(double utc) const {
        std::vector<uint8_t> bytes(10);
        bytes[0] = STATUS_OK;
        if (has_gps()) {
            const double whole = std::floor(utc);
            const auto ticks = static_cast<uint32_t>((utc - whole) * measured_clock());
            constexpr uint32_t SECONDS_SINCE_FIX = 2;
            const time_t fix = static_cast<time_t>(whole) - SECONDS_SINCE_FIX;
            tm t{};
            gmtime_r(&fix, &t);
            char text[64];
            const int n = snprintf(text, sizeof text, "%02d%02d%02d.000,%02d,%02d,%04d", t.tm_hour, t.tm_min, t.tm_sec,
                                   t.tm_mday, t.tm_mon + 1, t.tm_year + 1900);
            put32(bytes, 1, ticks);
            put32(bytes, 5, SECONDS_SINCE_FIX);
            bytes[9] = static_cast<uint8_t>(n);
            bytes.insert(bytes.end(), text, text + n);
        }
        bytes.resize(std::max<size_t>(bytes.size(), 20));
        return ok_bytes(std::move(bytes));
    }

    // A GGA sentence body, as far as the altitude's unit.
    Answer position() const {
        std::vector<uint8_t> bytes(10);
        bytes[0] = STATUS_OK;
        if (has_gps()) {
            const time_t now = static_cast<time_t>(utc_now());
            tm t{};
            gmtime_r(&now, &t);
            char text[80];
            const int n = profile().gps_fix
                              ? snprintf(text, sizeof text, "%02d%02d%02d.00,%s,%s,1,09,0.9,%s,M", t.tm_hour,
                                         t.tm_min, t.tm_sec, GPS_LATITUDE, GPS_LONGITUDE, GPS_ALTITUDE)
                              : snprintf(text, sizeof text, "%02d%02d%02d.00,,,,,0,00,,,M", t.tm_hour, t.tm_min,
                                         t.tm_sec);
            bytes[9] = static_cast<uint8_t>(n);
            bytes.insert(bytes.end(), text, text + n);
        }
        return ok_bytes(std::move(bytes));
    }

    // The factory's calibration block sits at CALIBRATION_ADDRESS: a format
    // word, the dual-gain offset, a reserved word and the gain; the rest of
    // the flash is erased.
    Answer calibration(std::span<const uint8_t> p) const {
        if (p.size() < 5 || p[4] > 32)
            return status(STATUS_BAD_PARAMETER);
        const uint32_t address = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
        uint8_t block[8] = {0x01, 0x00};
        block[2] = static_cast<uint8_t>(profile().cal_offset);
        block[3] = static_cast<uint8_t>(profile().cal_offset >> 8);
        block[6] = static_cast<uint8_t>(profile().cal_gain);
        block[7] = static_cast<uint8_t>(profile().cal_gain >> 8);
        std::vector<uint8_t> bytes(1 + p[4], 0xFF);
        bytes[0] = STATUS_OK;
        for (uint32_t i = 0; i < p[4]; ++i) {
            const uint64_t at = static_cast<uint64_t>(address) + i;
            if (at >= CALIBRATION_ADDRESS && at < CALIBRATION_ADDRESS + sizeof block)
                bytes[1 + i] = block[at - CALIBRATION_ADDRESS];
        }
        return ok_bytes(std::move(bytes));
    }

    static constexpr uint32_t CALIBRATION_ADDRESS = 0x0003FF60;

    Clock::time_point plugged_steady_;
    double plugged_utc_;
    std::optional<double> exposure_start_utc_;  // set by the exposure start
    std::optional<Exposure> exposure_;          // the last one started
};

}  // namespace

uint16_t raw_word(double value) {
    if (!(value > 0))
        return 0;
    if (value >= 65535.0)
        return 0xFFFF;
    return static_cast<uint16_t>(value + 0.5);
}

CameraModel::CameraModel(const CameraProfile& profile)
    : profile_(profile), facts_(product_facts(profile.product_id)), last_advance_(Clock::now()) {
    state_.sensor_celsius = AMBIENT_CELSIUS;
    on(0x00, [this](std::span<const uint8_t>) { return Answer{identification(), std::nullopt}; });
    const uint8_t value_command = facts_.camera_class == 2 ? 0x0E : 0x0F;
    on(value_command, [this](std::span<const uint8_t> parameters) {
        if (parameters.empty())
            return status(STATUS_BAD_PARAMETER);
        const std::optional<uint16_t> value = raw_value(parameters[0]);
        return value ? ok_with({*value}) : status(STATUS_BAD_PARAMETER);
    });
}

void CameraModel::on(uint8_t command, Handler handler) { handlers_[command] = std::move(handler); }

CameraModel::Handler CameraModel::handlers(uint8_t command) const { return handlers_[command]; }

std::optional<uint16_t> CameraModel::raw_value(uint8_t sub_index) {
    if (sub_index >= 128 && sub_index <= 131)
        return profile_.versions[sub_index - 128];
    return std::nullopt;
}

double CameraModel::set_point_celsius(uint16_t raw) const { return (raw - 39046.828188) / 455.1048652; }

Answer CameraModel::ok_with(std::initializer_list<uint16_t> words) {
    Answer answer{std::vector<uint8_t>(1 + 2 * words.size()), std::nullopt};
    answer.bytes[0] = STATUS_OK;
    size_t offset = 1;
    for (uint16_t word : words) {
        put16(answer.bytes, offset, word);
        offset += 2;
    }
    return answer;
}

Answer CameraModel::ok_bytes(std::vector<uint8_t> bytes) { return Answer{std::move(bytes), std::nullopt}; }

const CameraState& CameraModel::state() {
    advance(Clock::now());
    return state_;
}

void CameraModel::advance(Clock::time_point now) {
    const double elapsed = std::chrono::duration<double>(now - last_advance_).count();
    last_advance_ = now;
    const double target = state_.set_point
                              ? std::clamp(*state_.set_point, AMBIENT_CELSIUS - MAX_COOLING, AMBIENT_CELSIUS)
                              : AMBIENT_CELSIUS;
    const double step = profile_.cool_rate / 1000.0 * std::max(elapsed, 0.0);
    double& t = state_.sensor_celsius;
    t = t > target ? std::max(target, t - step) : std::min(target, t + step);
    if (!state_.set_point) {
        state_.cooler_power = 0;
        return;
    }
    if (pinned_cycle_) {
        const auto [on_time, off_time] = *pinned_cycle_;
        state_.cooler_power = on_time + off_time ? double(on_time) / (on_time + off_time) : 0.0;
        return;
    }
    // Full drive while pulling down; then what holding the difference takes.
    const double holding = (AMBIENT_CELSIUS - t) / MAX_COOLING;
    state_.cooler_power = std::clamp(t > target + 0.05 ? 1.0 : holding, 0.0, 1.0);
}

std::pair<uint16_t, uint16_t> CameraModel::cooler_cycle() const {
    if (!state_.set_point)
        return {0, 0};
    if (pinned_cycle_)
        return *pinned_cycle_;
    const auto on_time = static_cast<uint16_t>(std::lround(state_.cooler_power * 1000));
    return {on_time, static_cast<uint16_t>(1000 - on_time)};
}

void CameraModel::pin_cooler_cycle(std::optional<std::pair<uint16_t, uint16_t>> cycle) {
    advance(Clock::now());
    pinned_cycle_ = cycle;
}

void CameraModel::install_set_point(uint8_t command) {
    on(command, [this](std::span<const uint8_t> p) {
        if (p.size() < 2)
            return status(STATUS_BAD_PARAMETER);
        state_.set_point_raw = static_cast<uint16_t>(p[0] | p[1] << 8);
        state_.set_point = set_point_celsius(state_.set_point_raw);
        state_.set_points_received.push_back(
            {std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - made_), *state_.set_point});
        return status(STATUS_OK);
    });
}

void CameraModel::install_shutter(uint8_t open, uint8_t close) {
    auto move = [this](bool opening) {
        const uint32_t ms = opening ? profile_.shutter_open_ms : profile_.shutter_close_ms;
        // The firmware answers once the blades have travelled.
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        if (state_.shutter_open != opening)
            ++state_.shutter_moves;
        state_.shutter_open = opening;
        return status(STATUS_OK);
    };
    on(open, [move](std::span<const uint8_t>) { return move(true); });
    on(close, [move](std::span<const uint8_t>) { return move(false); });
}

void CameraModel::install_filter(uint8_t command) {
    on(command, [this](std::span<const uint8_t> p) {
        if (p.empty() || p[0] >= profile_.filters)
            return status(STATUS_BAD_PARAMETER);
        state_.filter = p[0];
        return status(STATUS_OK);
    });
}

void CameraModel::install_clear(uint8_t command) {
    on(command, [this](std::span<const uint8_t>) {
        ++state_.clears;
        return status(STATUS_OK);
    });
}

void CameraModel::install_binning_xy() {
    auto factor = [](uint8_t& field) {
        return [&field](std::span<const uint8_t> p) {
            if (p.empty() || p[0] < 1 || p[0] > 4)
                return status(STATUS_BAD_PARAMETER);
            field = p[0];
            return status(STATUS_OK);
        };
    };
    on(0x01, factor(state_.bin_x));
    on(0x02, factor(state_.bin_y));
}

void CameraModel::install_read_mode(uint8_t command, std::vector<uint8_t> parameters) {
    on(command, [this, parameters](std::span<const uint8_t> p) {
        if (p.empty() || std::find(parameters.begin(), parameters.end(), p[0]) == parameters.end())
            return status(STATUS_BAD_PARAMETER);
        state_.read_mode = p[0];
        return status(STATUS_OK);
    });
}

void CameraModel::install_guiding(uint8_t start, uint8_t query, bool small) {
    // Small cameras take [ra16, dec16], the others [0x00, ra16, dec16].
    on(start, [this, small](std::span<const uint8_t> p) {
        const size_t at = small ? 0 : 1;
        if (p.size() < at + 4)
            return status(STATUS_BAD_PARAMETER);
        const int ra = static_cast<int16_t>(p[at] | p[at + 1] << 8);
        const int dec = static_cast<int16_t>(p[at + 2] | p[at + 3] << 8);
        state_.last_guide = {static_cast<int16_t>(ra), static_cast<int16_t>(dec)};
        const Clock::time_point now = Clock::now();
        guide_ra_end_ = now + std::chrono::milliseconds(std::abs(ra));
        guide_dec_end_ = now + std::chrono::milliseconds(std::abs(dec));
        return status(STATUS_OK);
    });
    on(query, [this, small](std::span<const uint8_t>) {
        const Clock::time_point now = Clock::now();
        auto remaining = [now](Clock::time_point end) {
            if (end <= now)
                return uint16_t{0};
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
            return static_cast<uint16_t>(std::min<int64_t>(ms, 0xFFFF));
        };
        const uint16_t ra = remaining(guide_ra_end_), dec = remaining(guide_dec_end_);
        if (small)
            return ok_bytes({STATUS_OK, static_cast<uint8_t>(ra || dec ? 1 : 0)});
        std::vector<uint8_t> bytes(6);
        bytes[0] = STATUS_OK;
        put16(bytes, 2, ra);
        put16(bytes, 4, dec);
        return ok_bytes(std::move(bytes));
    });
}

void CameraModel::install_level(uint8_t command, uint8_t& level, uint8_t max) {
    on(command, [&level, max](std::span<const uint8_t> p) {
        if (p.empty() || p[0] > max)
            return status(STATUS_BAD_PARAMETER);
        level = p[0];
        return status(STATUS_OK);
    });
}

void CameraModel::install_gain(uint16_t max) {
    on(0x17, [this, max](std::span<const uint8_t> p) {
        if (p.size() < 3)
            return status(STATUS_BAD_PARAMETER);
        const auto gain = static_cast<uint16_t>(p[1] | p[2] << 8);
        if (gain > max)
            return status(STATUS_BAD_PARAMETER);
        state_.gain = gain;
        return status(STATUS_OK);
    });
}

void CameraModel::install_aux(uint8_t command) {
    // Bit 0: the second output is driven.
    on(command, [this](std::span<const uint8_t>) {
        return ok_bytes({STATUS_OK, static_cast<uint8_t>(state_.feature8 ? 1 : 0)});
    });
}

Answer CameraModel::command(std::span<const uint8_t> request) {
    advance(Clock::now());
    if (request.empty())
        return status(STATUS_OK);
    const Handler& handler = handlers_[request[0]];
    if (!handler)
        return status(STATUS_OK);
    return handler(request.subspan(1));
}

std::vector<uint8_t> CameraModel::identification() const {
    const CameraProfile& p = profile_;
    if (facts_.layout == IdLayout::short_layout) {
        std::vector<uint8_t> bytes(60);
        bytes[0] = STATUS_OK;
        put32(bytes, 1, p.id);
        put16(bytes, 5, p.flags);
        put16(bytes, 7, p.width);
        put16(bytes, 9, p.height);
        put16(bytes, 11, p.pixel_w);
        put16(bytes, 13, p.pixel_h);
        put_text(bytes, 15, p.desc);
        put_text(bytes, 30, p.ser);
        put_text(bytes, 45, p.chip);
        return bytes;
    }
    std::vector<uint8_t> bytes(62);
    bytes[0] = STATUS_OK;
    put32(bytes, 1, p.id);
    bytes[5] = static_cast<uint8_t>(p.flags);
    bytes[6] = p.filters;
    put16(bytes, 7, p.aux);
    put16(bytes, 9, p.width);
    put16(bytes, 11, p.height);
    put16(bytes, 13, p.pixel_w);
    put16(bytes, 15, p.pixel_h);
    put_text(bytes, 17, p.desc);
    put_text(bytes, 32, p.ser);
    put_text(bytes, 47, p.chip);
    return bytes;
}

uint16_t CameraModel::pattern_pixel(uint32_t x, uint32_t y) const {
    if (profile_.pattern == Pattern::coords)
        return static_cast<uint16_t>(x + 2 * y);
    // A sky background with noise, and at most one star per 32×32 cell.
    double value = 800.0 + static_cast<double>(mix(x * 7919u + y * 104729u + profile_.id) % 64u);
    const uint32_t cell_x = x / 32, cell_y = y / 32;
    const uint32_t seed = mix(cell_x * 2654435761u ^ mix(cell_y + 0x9e3779b9u) ^ profile_.id);
    if (seed % 5 == 0) {
        const double star_x = cell_x * 32.0 + 4 + (seed >> 8) % 24;
        const double star_y = cell_y * 32.0 + 4 + (seed >> 16) % 24;
        const double peak = 2000.0 + static_cast<double>((seed >> 4) % 60000u);
        const double dx = x - star_x, dy = y - star_y;
        value += peak * std::exp(-(dx * dx + dy * dy) / 4.5);
    }
    return raw_word(value);
}

std::unique_ptr<CameraModel> make_camera_model(const CameraProfile& profile) {
    const ProductFacts facts = product_facts(profile.product_id);
    if (facts.type >= 22 && facts.type <= 24)
        return std::make_unique<CmosCamera>(profile);
    switch (facts.camera_class) {
    case 2: return std::make_unique<SmallCamera>(profile);
    case 3: return std::make_unique<BigCamera>(profile);
    case 4:
    case 5: return std::make_unique<UncooledCamera>(profile);
    default: return std::make_unique<GeneralCamera>(profile);
    }
}

}  // namespace sim
