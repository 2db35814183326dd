// The firmware of a virtual camera: what it answers to each command.
//
// One model class per camera class family, parameterised by a
// CameraProfile. A model is plain state without locks: the virtual driver
// (camera_node.h) serialises every call into it. Later commands are added
// with on(): one handler per command byte.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
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
};

// The camera's answer to one command: the response bytes (status first;
// empty for a command that answers nothing), and the stream a readout
// command starts.
struct Answer {
    std::vector<uint8_t> bytes;
    std::optional<ReadoutStream> readout;
};

class CameraModel {
public:
    explicit CameraModel(const CameraProfile& profile);
    virtual ~CameraModel() = default;
    CameraModel(const CameraModel&) = delete;
    CameraModel& operator=(const CameraModel&) = delete;

    const CameraProfile& profile() const { return profile_; }
    const ProductFacts& facts() const { return facts_; }

    // One exchange. `request` is the command byte and its parameters; an
    // empty request is the acknowledgement after an image transfer. Unknown
    // commands are acknowledged with status 0x80, as the firmware does.
    Answer command(std::span<const uint8_t> request);

    // The identification answer to command 0x00, in the layout of the
    // product id: 60 bytes (short) or 62 bytes (long), status first.
    std::vector<uint8_t> identification() const;

    // The image pixel at column x, row y as the daemon delivers it, for the
    // camera's pattern; readouts build their raw streams from it.
    uint16_t pattern_pixel(uint32_t x, uint32_t y) const;

protected:
    using Handler = std::function<Answer(std::span<const uint8_t> parameters)>;

    // Installs the handler of a command byte, replacing an earlier one.
    void on(uint8_t command, Handler handler);

    // The raw 16-bit value of a value sub-index; nullopt when the camera has
    // no such value (answered with status 0x81).
    virtual std::optional<uint16_t> raw_value(uint8_t sub_index) const;

    // Raw readings of this class's sensors.
    virtual uint16_t raw_temperature(double celsius) const = 0;
    virtual uint16_t raw_voltage(double volts) const = 0;

    static Answer status(uint8_t status_byte) { return Answer{{status_byte}, std::nullopt}; }
    static Answer ok_with(std::initializer_list<uint16_t> words);

    // The physical state the value requests report; the cooler of later
    // issues moves it.
    double sensor_celsius_ = 20.0;
    double second_celsius_ = 21.5;
    double supply_volts_ = 12.0;
    double electrons_per_adu_ = 1.5;

private:
    CameraProfile profile_;
    ProductFacts facts_;
    std::array<Handler, 256> handlers_;
};

// The model of the camera's class (unknown product ids get a generic one).
std::unique_ptr<CameraModel> make_camera_model(const CameraProfile& profile);

// Saturating conversion of a physical reading into a raw word.
uint16_t raw_word(double value);

}  // namespace sim
