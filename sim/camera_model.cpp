#include "sim/camera_model.h"

#include <cmath>
#include <cstring>

namespace sim {

namespace {

constexpr uint8_t STATUS_OK = 0x80;
constexpr uint8_t STATUS_BAD_PARAMETER = 0x81;

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

// Class 2: the small guiding cameras, value command 0x0E.
class SmallCamera final : public CameraModel {
public:
    explicit SmallCamera(const CameraProfile& profile) : CameraModel(profile) {}

protected:
    std::optional<uint16_t> raw_value(uint8_t sub_index) const override {
        switch (sub_index) {
        case 0: return raw_temperature(sensor_celsius_);
        case 2: return raw_voltage(supply_volts_);
        case 255: return 0x8080;  // firmware with sub-frame readout
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
        on(0x11, [this](std::span<const uint8_t>) {
            // Dual-sample cameras report the cooler's on and off times, the
            // others its power as a fraction p/q.
            return dual_sample_ ? ok_with({cooler_on_, cooler_off_}) : ok_with({cooler_on_, 1000});
        });
    }

protected:
    std::optional<uint16_t> raw_value(uint8_t sub_index) const override {
        switch (sub_index) {
        case 0: return raw_temperature(sensor_celsius_);
        case 1: return raw_temperature(second_celsius_);
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

private:
    bool dual_sample_ = false;
    uint16_t cooler_on_ = 0, cooler_off_ = 1000;
};

// Classes 4 and 5: uncooled cameras reading their temperature in 1/256 degree.
class UncooledCamera final : public CameraModel {
public:
    explicit UncooledCamera(const CameraProfile& profile) : CameraModel(profile) {}

protected:
    std::optional<uint16_t> raw_value(uint8_t sub_index) const override {
        switch (sub_index) {
        case 0: return raw_temperature(sensor_celsius_);
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
        on(0x11, [this](std::span<const uint8_t>) { return ok_with({cooler_power_, 1000}); });
    }

protected:
    std::optional<uint16_t> raw_value(uint8_t sub_index) const override {
        switch (sub_index) {
        case 0: return raw_temperature(sensor_celsius_);
        case 1: return raw_temperature(second_celsius_);
        case 2: return raw_voltage(supply_volts_);
        case 3: return raw_word(electrons_per_adu_ * 1000.0);
        default: return CameraModel::raw_value(sub_index);
        }
    }
    uint16_t raw_temperature(double celsius) const override { return general_temperature(celsius); }
    uint16_t raw_voltage(double volts) const override { return general_voltage(volts); }

    uint16_t cooler_power_ = 0;  // per mille
};

// Types 22, 23 and 24: the CMOS cameras with the frame readout.
class CmosCamera final : public GeneralCamera {
public:
    explicit CmosCamera(const CameraProfile& profile) : GeneralCamera(profile) {}
};

}  // namespace

uint16_t raw_word(double value) {
    if (!(value > 0))
        return 0;
    if (value >= 65535.0)
        return 0xFFFF;
    return static_cast<uint16_t>(value + 0.5);
}

CameraModel::CameraModel(const CameraProfile& profile) : profile_(profile), facts_(product_facts(profile.product_id)) {
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

std::optional<uint16_t> CameraModel::raw_value(uint8_t sub_index) const {
    if (sub_index >= 128 && sub_index <= 131)
        return profile_.versions[sub_index - 128];
    return std::nullopt;
}

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

Answer CameraModel::command(std::span<const uint8_t> request) {
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
