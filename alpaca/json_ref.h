// Owner of one reference to a Jansson value.
#pragma once

#include <jansson.h>

#include <utility>

namespace AlpacaServer {

class JsonRef {
public:
    JsonRef() = default;
    explicit JsonRef(json_t* value) : value_(value) {}
    JsonRef(const JsonRef&) = delete;
    JsonRef& operator=(const JsonRef&) = delete;
    JsonRef(JsonRef&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
    JsonRef& operator=(JsonRef&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.value_, nullptr));
        return *this;
    }
    ~JsonRef() { json_decref(value_); }

    json_t* get() const { return value_; }
    explicit operator bool() const { return value_ != nullptr; }
    // Gives up ownership (for the *_new calls of Jansson, which steal it).
    json_t* release() { return std::exchange(value_, nullptr); }
    void reset(json_t* value = nullptr) { json_decref(std::exchange(value_, value)); }

private:
    json_t* value_ = nullptr;
};

}  // namespace AlpacaServer
