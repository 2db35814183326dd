// The road of a camera's exposures, as one named state machine shared by
// whoever holds the camera: the TCP camera session and the Alpaca camera
// device each keep one.
//
// Moves: idle → exposing; exposing → exposing (a start supersedes the
// running exposure), reading, discarded; reading → ready, discarded;
// ready → exposing, reading (a camera that keeps its frame is read again),
// discarded; discarded → exposing, reading. Everything else is refused:
// in particular nothing starts while a readout fills the buffer (reading),
// and nothing returns to idle.
//
// Every move happens under exposure_mutex. state() may be read without it
// as a snapshot.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

enum class ExposureState : uint8_t {
    idle,       // nothing exposed yet: there is no image to read
    exposing,   // started; its readout has not begun
    reading,    // its readout fills the image buffer
    ready,      // the image is complete in the buffer
    discarded,  // ended without an image: aborted, or its end or readout failed
};

const char* exposure_state_name(ExposureState state);

// Whether the road allows the move (see above).
bool exposure_move_allowed(ExposureState from, ExposureState to);

class ExposureRoad {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::time_point NEVER = Clock::time_point::max();

    std::mutex exposure_mutex;  // every move, and what the holder keeps with the road

    ExposureState state() const { return state_.load(std::memory_order_acquire); }
    // The current exposure's number, counted from 1 by begin(). Under the mutex.
    uint64_t generation() const { return generation_; }

    // Moves to `to`. A move the road doesn't allow is refused (false,
    // logged) and changes nothing. Under the mutex.
    bool move(ExposureState to);

    // Starts a new exposure: → exposing under a new generation, due at
    // `due` when the holder times it (NEVER when the camera does). False
    // when the road refuses the start (a readout runs, or a download
    // holds the frame). Under the mutex.
    bool begin(Clock::time_point due);

    // Whether an expiry seen at `now` belongs to the current exposure: it
    // is still exposing and its due time has come. The expiry of an older
    // generation that runs late finds the younger exposure's due time
    // ahead (or a state other than exposing) and must do nothing. Under
    // the mutex.
    bool expiry_due(Clock::time_point now) const;

    // Whether a download holds the frame now.
    bool frame_held() const { return frame_holders_.load() > 0; }

    // A download holds the frame while it sends it: begin() is refused
    // meanwhile, so the image is never changed under the download.
    class FrameHold {
    public:
        explicit FrameHold(ExposureRoad& road) : road_(road) { ++road_.frame_holders_; }
        ~FrameHold() { --road_.frame_holders_; }
        FrameHold(const FrameHold&) = delete;
        FrameHold& operator=(const FrameHold&) = delete;

    private:
        ExposureRoad& road_;
    };

private:
    std::atomic<ExposureState> state_{ExposureState::idle};
    uint64_t generation_ = 0;
    Clock::time_point due_ = NEVER;
    std::atomic<int> frame_holders_{0};
};
