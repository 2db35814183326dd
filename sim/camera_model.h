// The firmware of a virtual camera: what it answers to each command.
//
// One model class per camera class family, parameterised by a
// CameraProfile. A model is plain state without locks: the virtual driver
// (camera_node.h) serialises every call into it. Later commands are added
// with on(): one handler per command byte.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "sim/camera_profile.h"

namespace sim {

// The bytes that read() on the node yields after a readout command, made on
// demand so that a frame of tens of megabytes needs no buffer.
struct ReadoutStream {
    uint64_t size = 0;
    // Writes the bytes [offset, offset + length) of the stream into out.
    std::function<void(uint64_t offset, uint8_t* out, size_t length)> fill;
    double bytes_per_second = 0;  // 0: as fast as the reader reads
    // The first byte comes no earlier than this: the end of the exposure
    // the readout command started. A read waits for it.
    std::chrono::steady_clock::time_point start{};
};

// The camera's answer to one command: the response bytes (status first;
// empty for a command that answers nothing), and the stream a readout
// command starts.
struct Answer {
    std::vector<uint8_t> bytes;
    std::optional<ReadoutStream> readout;
};

// An exposure request of a CMOS camera as it arrived: [0x24, mode, x0, y0,
// width, height, ticks32], geometry little-endian.
struct CmosExposureRequest {
    uint8_t mode = 0;  // bit 0: shutter, bit 1: the start variant
    uint16_t x0 = 0, y0 = 0, width = 0, height = 0;
    uint32_t ticks = 0;
};

// What a camera's firmware holds between commands, as tests and later
// readout commands see it. Temperatures in degrees Celsius.
struct CameraState {
    std::optional<double> set_point;  // none: the cooler has not been asked to regulate
    uint16_t set_point_raw = 0;       // the word it was asked with
    double sensor_celsius = 20.0;
    double cooler_power = 0;  // 0..1
    // The last guide command as it arrived: RA and DEC in milliseconds,
    // signed (negative: west, south).
    std::optional<std::pair<int16_t, int16_t>> last_guide;
    bool shutter_open = false;
    unsigned shutter_moves = 0;
    std::optional<uint8_t> filter;  // the last position moved to
    uint8_t bin_x = 1, bin_y = 1;   // binning commands of the older cameras
    uint8_t hw_bin_x = 1, hw_bin_y = 1, hw_bin_mode = 0;  // CMOS hardware binning
    std::optional<uint8_t> read_mode;  // the parameter byte of the last mode command
    uint16_t gain = 0;
    uint8_t feature5 = 0, feature8 = 0;
    uint16_t preflash_ms = 0;
    uint8_t preflash_count = 0;
    uint8_t pair_a = 0, pair_b = 0;  // the type-8 pair
    unsigned clears = 0;
    // Every set point received, in order: when (since the model was made)
    // and the temperature its raw word asks for.
    struct SetPointReceived {
        std::chrono::milliseconds at;
        double celsius;
    };
    std::vector<SetPointReceived> set_points_received;
    // The readout requests that started a stream (CMOS: the frames streamed).
    unsigned readouts = 0;
    // CMOS types: the last exposure request taken and the exposures started
    // ([0x24], and [0x28] for the next one).
    std::optional<CmosExposureRequest> exposure;
    unsigned exposures = 0;
    // Exposures and readouts of the classic cameras.
    std::vector<uint8_t> last_readout;  // the last readout request, command byte first
    bool exposing = false;              // new interface: between [0x07] and [0x08]
    uint8_t end_flag = 0;               // the second flag of the last [0x08]
};

class CameraModel {
public:
    using Clock = std::chrono::steady_clock;

    explicit CameraModel(const CameraProfile& profile);
    virtual ~CameraModel() = default;
    CameraModel(const CameraModel&) = delete;
    CameraModel& operator=(const CameraModel&) = delete;

    const CameraProfile& profile() const { return profile_; }
    const ProductFacts& facts() const { return facts_; }

    // The state as of now: the cooler has moved the sensor meanwhile.
    const CameraState& state();

    // One exchange. `request` is the command byte and its parameters; an
    // empty request is the acknowledgement after an image transfer. Unknown
    // commands are acknowledged with status 0x80, as the firmware does.
    // Shutter movements take their travel time before the answer.
    Answer command(std::span<const uint8_t> request);

    // The identification answer to command 0x00, in the layout of the
    // product id: 60 bytes (short) or 62 bytes (long), status first.
    std::vector<uint8_t> identification() const;

    // Holds the cooler's drive at `on` and `off` time (in the firmware's
    // units, reported as they are) while it regulates, as a cooler that
    // settled there; nullopt gives the drive back to the physics below.
    void pin_cooler_cycle(std::optional<std::pair<uint16_t, uint16_t>> cycle);

    // The image pixel at column x, row y as the daemon delivers it, for the
    // camera's pattern; readouts build their raw streams from it.
    uint16_t pattern_pixel(uint32_t x, uint32_t y) const;

    // Physics of the cooler: it cannot pull the sensor more than this below
    // the ambient temperature, nor heat it above ambient.
    static constexpr double AMBIENT_CELSIUS = 20.0;
    static constexpr double MAX_COOLING = 45.0;

protected:
    using Handler = std::function<Answer(std::span<const uint8_t> parameters)>;

    // Installs the handler of a command byte, replacing an earlier one; a
    // null handler removes it (the command is then only acknowledged).
    void on(uint8_t command, Handler handler);
    Handler handlers(uint8_t command) const;

    // The raw 16-bit value of a value sub-index; nullopt when the camera has
    // no such value (answered with status 0x81).
    virtual std::optional<uint16_t> raw_value(uint8_t sub_index);

    // Raw readings of this class's sensors, and the set point a raw word
    // asks for.
    virtual uint16_t raw_temperature(double celsius) const = 0;
    virtual uint16_t raw_voltage(double volts) const = 0;
    virtual double set_point_celsius(uint16_t raw) const;

    static Answer status(uint8_t status_byte) { return Answer{{status_byte}, std::nullopt}; }
    static Answer ok_with(std::initializer_list<uint16_t> words);
    static Answer ok_bytes(std::vector<uint8_t> bytes);

    // The command sets the models share; each class installs the ones its
    // firmware has, under its own command bytes.
    void install_set_point(uint8_t command);
    void install_shutter(uint8_t open, uint8_t close);
    void install_filter(uint8_t command);
    void install_clear(uint8_t command);
    void install_binning_xy();                       // [0x01, x], [0x02, y]
    void install_read_mode(uint8_t command, std::vector<uint8_t> parameters);
    void install_guiding(uint8_t start, uint8_t query, bool small);
    void install_level(uint8_t command, uint8_t& level, uint8_t max);
    void install_aux(uint8_t command);
    void install_gain(uint16_t max);  // [0x17, 0x00, gain16]
    // The exposure and readout commands of the classic cameras, by class
    // (sim/classic_readout.cpp).
    void install_classic_readout();

    // The heat-sink side of the cooler: warmer the harder it works.
    double second_celsius() const { return AMBIENT_CELSIUS + 1.5 + 3.0 * state_.cooler_power; }
    // The cooler's drive as on and off time per mille; both 0 before it
    // was first asked to regulate (no period measured yet).
    std::pair<uint16_t, uint16_t> cooler_cycle() const;

    CameraState state_;
    double supply_volts_ = 12.0;
    double electrons_per_adu_ = 1.5;

private:
    // Moves the sensor temperature to where the cooler got it by `now`.
    void advance(Clock::time_point now);

    CameraProfile profile_;
    ProductFacts facts_;
    std::array<Handler, 256> handlers_;
    Clock::time_point last_advance_;
    const Clock::time_point made_ = Clock::now();
    Clock::time_point guide_ra_end_, guide_dec_end_;
    std::optional<std::pair<uint16_t, uint16_t>> pinned_cycle_;
};

// The model of the camera's class (unknown product ids get a generic one).
std::unique_ptr<CameraModel> make_camera_model(const CameraProfile& profile);

// Saturating conversion of a physical reading into a raw word.
uint16_t raw_word(double value);

}  // namespace sim
