// What a recording test device does with a call: records it and answers
// from canned values. Thread-safe: requests arrive on the server's threads.
#pragma once

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "alpaca/image_encoding.h"
#include "alpaca/interfaces/device.h"
#include "alpaca/interfaces/telescope.h"

namespace AlpacaTest {

struct Call {
    std::string operation;
    std::vector<std::string> arguments;  // bool true/false, integers in decimal, reals %.17g, texts as given
};

// What every operation answers: `error`, and on success the value of the
// type it writes.
struct Canned {
    int error = 0;
    bool boolean = true;
    int32_t integer = 7;
    uint32_t unsigned_integer = 7;
    double real = 1.5;
    std::string text = "text";
    std::vector<std::string> strings = {"a", "b"};
    std::vector<int> integers = {1, -2};
    AlpacaServer::DeviceStateMap state = {{"b", 1}, {"a", true}};
    std::vector<AlpacaServer::AxisRate> rates = {{0.5, 1.5}};
    AlpacaServer::FrameView frame = {};
};

class Recorder {
public:
    explicit Recorder(std::string name) : name_(std::move(name)) {}
    virtual ~Recorder() = default;

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    void set_canned(Canned canned) {
        std::lock_guard lock(mutex_);
        canned_ = std::move(canned);
    }
    Canned canned() const {
        std::lock_guard lock(mutex_);
        return canned_;
    }

protected:
    static std::string argument(bool value) { return value ? "true" : "false"; }
    static std::string argument(int32_t value) { return std::to_string(value); }
    static std::string argument(double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", value);
        return text;
    }
    static std::string argument(const char* value) { return value; }

    int answer(const char* operation, std::vector<std::string> arguments) {
        std::lock_guard lock(mutex_);
        calls_.push_back({operation, std::move(arguments)});
        return canned_.error;
    }

    template <class T>
    int answer(const char* operation, std::vector<std::string> arguments, T& value) {
        std::lock_guard lock(mutex_);
        calls_.push_back({operation, std::move(arguments)});
        if (canned_.error == 0)
            value = pick(static_cast<T*>(nullptr));
        return canned_.error;
    }

    // Texts record the buffer size offered as their last argument.
    int answer_text(const char* operation, std::vector<std::string> arguments, char* value, std::size_t size) {
        std::lock_guard lock(mutex_);
        arguments.push_back("size=" + std::to_string(size));
        calls_.push_back({operation, std::move(arguments)});
        if (canned_.error == 0 && size > 0)
            std::snprintf(value, size, "%s", canned_.text.c_str());
        return canned_.error;
    }

    // The name is the device's own, asked by the server itself too: not recorded.
    int answer_name(char* value, std::size_t size) {
        if (size > 0)
            std::snprintf(value, size, "%s", name_.c_str());
        return 0;
    }

private:
    bool pick(bool*) const { return canned_.boolean; }
    int32_t pick(int32_t*) const { return canned_.integer; }
    uint32_t pick(uint32_t*) const { return canned_.unsigned_integer; }
    double pick(double*) const { return canned_.real; }
    std::vector<std::string> pick(std::vector<std::string>*) const { return canned_.strings; }
    std::vector<int> pick(std::vector<int>*) const { return canned_.integers; }
    AlpacaServer::DeviceStateMap pick(AlpacaServer::DeviceStateMap*) const { return canned_.state; }
    std::vector<AlpacaServer::AxisRate> pick(std::vector<AlpacaServer::AxisRate>*) const { return canned_.rates; }
    AlpacaServer::FrameView pick(AlpacaServer::FrameView*) const { return canned_.frame; }

    mutable std::mutex mutex_;
    std::string name_;
    std::vector<Call> calls_;
    Canned canned_;
};

}  // namespace AlpacaTest
