#include "sim/faults.h"

#include <cstdio>

namespace sim {

const char* request_name(DriverRequest request) {
    switch (request) {
    case DriverRequest::identify: return "identify";
    case DriverRequest::command: return "command";
    case DriverRequest::firmware_mode: return "fwmode";
    case DriverRequest::firmware_record: return "fwrecord";
    case DriverRequest::any: return "any";
    }
    return "?";
}

void FaultSet::add(const Fault& fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(fault);
}

void FaultSet::clear() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::optional<Fault> FaultSet::take(bool (*matches)(const Fault&, const void*), const void* key) {
    std::lock_guard lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (!matches(*it, key))
            continue;
        Fault fired = *it;
        if (it->count > 0 && --it->count == 0)
            faults_.erase(it);
        return fired;
    }
    return std::nullopt;
}

std::optional<uint8_t> FaultSet::status_for(uint8_t command) {
    auto fault = take(
        [](const Fault& f, const void* key) {
            return f.kind == Fault::Kind::status && f.command == *static_cast<const uint8_t*>(key);
        },
        &command);
    if (!fault)
        return std::nullopt;
    return fault->status_byte;
}

bool FaultSet::request_fails(DriverRequest request) {
    return take(
               [](const Fault& f, const void* key) {
                   return f.kind == Fault::Kind::request &&
                          (f.request == DriverRequest::any || f.request == *static_cast<const DriverRequest*>(key));
               },
               &request)
        .has_value();
}

std::optional<uint64_t> FaultSet::read_limit() {
    auto fault = take([](const Fault& f, const void*) { return f.kind == Fault::Kind::read; }, nullptr);
    if (!fault)
        return std::nullopt;
    return static_cast<uint64_t>(fault->limit);
}

std::optional<int64_t> FaultSet::bulk(Fault::Kind direction) {
    auto fault = take(
        [](const Fault& f, const void* key) { return f.kind == *static_cast<const Fault::Kind*>(key); }, &direction);
    if (!fault)
        return std::nullopt;
    return fault->limit;
}

std::optional<uint64_t> FaultSet::delay_ms() {
    auto fault = take([](const Fault& f, const void*) { return f.kind == Fault::Kind::delay; }, nullptr);
    if (!fault)
        return std::nullopt;
    return static_cast<uint64_t>(fault->limit);
}

std::vector<std::string> FaultSet::describe() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    char line[128];
    for (const Fault& f : faults_) {
        switch (f.kind) {
        case Fault::Kind::status:
            snprintf(line, sizeof line, "status 0x%02x 0x%02x", f.command, f.status_byte);
            break;
        case Fault::Kind::request: snprintf(line, sizeof line, "ioctl %s", request_name(f.request)); break;
        case Fault::Kind::read: snprintf(line, sizeof line, "read %lld", static_cast<long long>(f.limit)); break;
        case Fault::Kind::delay: snprintf(line, sizeof line, "delay %lld", static_cast<long long>(f.limit)); break;
        case Fault::Kind::bulk_out:
        case Fault::Kind::bulk_in: {
            const char* direction = f.kind == Fault::Kind::bulk_out ? "out" : "in";
            if (f.limit < 0)
                snprintf(line, sizeof line, "bulk %s fail", direction);
            else
                snprintf(line, sizeof line, "bulk %s short=%lld", direction, static_cast<long long>(f.limit));
            break;
        }
        }
        std::string text = line;
        if (f.count >= 0)
            text += " count=" + std::to_string(f.count);
        lines.push_back(text);
    }
    return lines;
}

}  // namespace sim
