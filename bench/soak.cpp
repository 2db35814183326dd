// A day on the box in an hour: the whole daemon on the virtual box under
// everything at once, with every frame and byte checked.
//
//   soak [--minutes N]      (root: it runs a test box; default 60 minutes)
//
// telvad --simulate runs in a test box with Alpaca on and the session timers
// at a twentieth (--sim-time-scale 0.05). At the same time:
//   - 128 binary-protocol clients connect, list cameras and wheels, leave,
//     pause and come again;
//   - two camera sessions expose and download without pause, the window
//     moving from frame to frame, every pixel checked against the coords
//     pattern; half of the first camera's downloads are asked for at once,
//     so the frame streams while it is read;
//   - cameras and wheels are unplugged at random and plugged in again,
//     whatever they are doing;
//   - both serial bridges carry random bytes (0xFF included) to the pty's
//     far end, which sends them straight back; every byte is checked;
//   - Alpaca clients poll a third camera and a wheel, move the wheel, and
//     expose and download the camera's frames as ImageBytes.
// A frame cut by an unplug arrives whole in length with zeros after the
// cut: it counts as interrupted when its camera was plugged or unplugged
// while it was made (or shortly before), and as an error otherwise. Every
// other mismatch, short answer or stall is an error.
//
// Every minute one line shows the daemon's descriptors, resident memory (the
// median and the highest of the minute's once-a-second samples), threads and
// the counts so far; after the load stops and the devices are back, a
// verdict: PASS when no stream had an error, the descriptors and threads are
// back at what they were before the load, and the median resident memory of
// the last minute is less than 5 % above that of minute 2, the first after a
// warm-up minute.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_io.h"
#include "tests/harness/http_client.h"
#include "tests/harness/protocol_client.h"
#include "tests/harness/test_box.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;
using harness::Bytes;
using harness::get;
using harness::make_request;
using harness::put;

constexpr int ENUMERATORS = 128;
constexpr uint32_t CMD_ENUMCAMERAS = 1, CMD_CONNECTCAMERA = 2, CMD_SETREADMODE = 5, CMD_STARTEXPOSURE = 11,
                   CMD_IMAGEREADY = 13, CMD_READIMAGE = 14, CMD_ENUMWHEELS = 1024;

std::atomic<bool> stopping{false};

// --- Counters and the error log ---

struct Stream {
    std::atomic<uint64_t> items{0}, bytes{0}, errors{0}, interrupted{0};
};
Stream enums, frames, serial, alpaca_calls, alpaca_frames;

std::mutex report_mutex;
int reported = 0;

// Counts an error of `stream` and tells the first hundred on stderr.
void error(Stream& stream, const char* format, ...) {
    ++stream.errors;
    std::lock_guard lock(report_mutex);
    if (++reported > 100)
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(stderr, "soak: error: %s\n", text);
}

uint16_t pattern(int64_t x, int64_t y) { return static_cast<uint16_t>(x + 2 * y); }

// --- The devices and their plugging ---

struct Plugged {
    std::string line;  // the control line that plugs it
    std::string path;  // where it is now (the chaos thread's)
    std::atomic<bool> present{false};
    std::atomic<uint64_t> changes{0};
    std::atomic<int64_t> last_change_ms{0};
};

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// What a piece of work saw of its device's plugging from its start on.
class Watch {
public:
    explicit Watch(const Plugged& device) : device_(device), changes_(device.changes.load()) {}
    // Plugged or unplugged since the start, or within two seconds before it
    // (the daemon takes a replugged device in after the control answered).
    bool touched() const {
        return device_.changes.load() != changes_ || device_.last_change_ms.load() > start_ms_ - 2000;
    }

private:
    const Plugged& device_;
    uint64_t changes_;
    int64_t start_ms_ = now_ms();
};

enum Device { CAM_A, CAM_B, CAM_C, WHEEL_C, WHEEL_B, DEVICES };
Plugged devices[DEVICES];

void mark(Plugged& device) {
    device.last_change_ms = now_ms();
    ++device.changes;
}

bool plug(const harness::TestBox& box, Plugged& device) {
    const std::string answer = box.control(device.line);
    mark(device);
    if (!answer.starts_with("ok /dev/"))
        return false;
    device.path = answer.substr(3, answer.find_first_of(" \n", 3) - 3);
    device.present = true;
    return true;
}

void unplug(const harness::TestBox& box, Plugged& device) {
    mark(device);
    device.present = false;
    box.control("unplug " + device.path);
    mark(device);
}

// Pulls a random device every 1 to 6 s and plugs it in again 0.1 to 3 s
// later; at the end everything is plugged in.
void chaos(const harness::TestBox& box, std::atomic<uint64_t>& unplugs) {
    std::mt19937 random(17);
    while (!stopping) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 + random() % 5000));
        if (stopping)
            break;
        Plugged& device = devices[random() % DEVICES];
        unplug(box, device);
        ++unplugs;
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 2900));
        if (!plug(box, device))
            fprintf(stderr, "soak: could not plug %s again\n", device.line.c_str());
    }
}

// --- Connections of the box's network ---

// Moves the calling thread into the daemon's network namespace, where plain
// socket() calls then make the box's sockets.
int box_net = -1;
void enter_box() {
    if (setns(box_net, CLONE_NEWNET) != 0) {
        fprintf(stderr, "soak: setns: %s\n", std::strerror(errno));
        _exit(2);
    }
}

// A binary-protocol connection from a thread inside the box.
class Link {
public:
    explicit Link(uint16_t port = 48899) {
        sd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in to = loopback(port);
        if (sd_ >= 0 && connect(sd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            close(sd_);
            sd_ = -1;
        }
    }
    ~Link() {
        if (sd_ >= 0)
            close(sd_);
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    bool ok() const { return sd_ >= 0; }
    int sd() const { return sd_; }
    // The daemon closed the connection (or reset it) while a reply was due.
    bool closed() const { return closed_; }

    bool send(const Bytes& request) { return sd_ >= 0 && send_all(sd_, request.data(), request.size()); }

    // Bytes within the deadline; false when the peer ends or stays silent.
    bool receive(uint8_t* into, size_t length, Clock::time_point deadline) {
        while (length > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd wait = {sd_, POLLIN, 0};
            if (left <= 0 || poll(&wait, 1, static_cast<int>(left)) != 1)
                return false;
            const ssize_t n = recv(sd_, into, length, 0);
            if (n <= 0) {
                closed_ = true;
                return false;
            }
            into += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }

    // One whole response (at most `most` bytes); empty when it did not come.
    Bytes response(std::chrono::milliseconds timeout, size_t most = 64 << 20) {
        const auto deadline = Clock::now() + timeout;
        Bytes answer(20);
        if (!receive(answer.data(), 20, deadline))
            return {};
        const uint32_t length = get<uint32_t>(answer, 8);
        if (length < 20 || length > most)
            return {};
        answer.resize(length);
        if (!receive(answer.data() + 20, length - 20, deadline))
            return {};
        return answer;
    }

    Bytes ask(const Bytes& request, std::chrono::milliseconds timeout = 10s) {
        return send(request) ? response(timeout) : Bytes{};
    }

private:
    int sd_ = -1;
    bool closed_ = false;
};

int32_t status_of(const Bytes& answer) { return get<int32_t>(answer, 16); }

// --- 128 clients that list and leave ---

// A listing: its head and every entry's id among the ids plugged.
bool listing_ok(const Bytes& answer, uint32_t command, size_t entry, std::initializer_list<uint32_t> ids) {
    if (answer.size() < 24 || get<uint32_t>(answer, 12) != command || status_of(answer) != 0)
        return false;
    const int32_t count = get<int32_t>(answer, 20);
    if (count < 0 || count > static_cast<int32_t>(ids.size()) || answer.size() != 24 + entry * size_t(count))
        return false;
    for (int32_t i = 0; i < count; ++i)
        if (std::find(ids.begin(), ids.end(), get<uint32_t>(answer, 24 + entry * size_t(i))) == ids.end())
            return false;
    return true;
}

void enumerator(int number) {
    enter_box();
    std::mt19937 random(1000 + number);
    while (!stopping) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 800));
        Link link;
        if (!link.ok()) {
            error(enums, "client %d: no connection: %s", number, std::strerror(errno));
            continue;
        }
        const Bytes cameras = link.ask(make_request(CMD_ENUMCAMERAS));
        const Bytes wheels = link.ask(make_request(CMD_ENUMWHEELS));
        // When more connections wait than the daemon has client slots, it
        // drops one that has sent nothing or refuses the newcomer; the
        // verdict holds these against the daemon's own count.
        if (link.closed() && (cameras.empty() || wheels.empty()))
            ++enums.interrupted;
        else if (!listing_ok(cameras, CMD_ENUMCAMERAS, 66, {61, 62, 63}))
            error(enums, "client %d: camera listing of %zu bytes", number, cameras.size());
        else if (!listing_ok(wheels, CMD_ENUMWHEELS, 44, {71, 72}))
            error(enums, "client %d: wheel listing of %zu bytes", number, wheels.size());
        else
            enums.items += 2;
        enums.bytes += cameras.size() + wheels.size();
    }
}

// --- Two camera sessions over the binary protocol ---

struct SessionCamera {
    const char* name;
    Device device;
    uint32_t id;
    int32_t sensor_w, sensor_h, w, h;  // the window's size stays: the session's buffer does too
    int32_t x_step;                    // window origins on this grid
    bool stream_at_once;               // may ask for the image while it is read
};

// Where the frame first differs from the window's pattern; `size` when it
// is exact. `cut_ok` tells whether everything after that is zero.
struct FrameCheck {
    size_t first_wrong;
    bool zeros_after;
};
FrameCheck check_frame(const Bytes& image, int32_t x, int32_t y, int32_t w, int32_t h) {
    const size_t count = size_t(w) * size_t(h);
    const uint8_t* pixels = image.data() + 20;
    size_t i = 0;
    for (int32_t j = 0; j < h && i == size_t(j) * size_t(w); ++j)
        for (int32_t k = 0; k < w; ++k, ++i) {
            uint16_t got;
            std::memcpy(&got, pixels + 2 * i, 2);
            if (got != pattern(x + k, y + j))
                break;
        }
    bool zeros = true;
    for (size_t at = 2 * i; at < 2 * count && zeros; ++at)
        zeros = pixels[at] == 0;
    return {i, zeros};
}

void camera_session(const SessionCamera& camera) {
    enter_box();
    std::mt19937 random(camera.id);
    const Plugged& plugged = devices[camera.device];
    std::unique_ptr<Link> link;
    while (!stopping) {
        if (!link) {
            link = std::make_unique<Link>();
            Bytes connect = make_request(CMD_CONNECTCAMERA);
            put<uint32_t>(connect, 16, camera.id);
            const Bytes answer = link->ask(connect);
            Bytes mode = make_request(CMD_SETREADMODE);
            put<int32_t>(mode, 16, 1);  // 16-bit pixels on the new-interface cameras
            if (answer.size() != 86 || status_of(answer) != 0 || status_of(link->ask(mode)) != 0) {
                link.reset();  // away, or still held by the session that lost it
                std::this_thread::sleep_for(200ms);
            }
            continue;
        }
        const Watch watch(plugged);
        const int32_t x = camera.x_step * int32_t(random() % uint32_t((camera.sensor_w - camera.w) / camera.x_step + 1));
        const int32_t y = int32_t(random() % uint32_t(camera.sensor_h - camera.h + 1));
        const double seconds = random() % 2 ? 0.1 : 0.3;
        Bytes start = make_request(CMD_STARTEXPOSURE, 41);
        put<double>(start, 16, seconds);
        put<int32_t>(start, 24, x);
        put<int32_t>(start, 28, y);
        put<int32_t>(start, 32, camera.w);
        put<int32_t>(start, 36, camera.h);
        put<uint8_t>(start, 40, 1);
        const auto failed = [&](const char* what) {
            if (watch.touched())
                ++frames.interrupted;
            else
                error(frames, "%s: %s (window %d,%d %dx%d, %.1f s)", camera.name, what, x, y, camera.w, camera.h,
                      seconds);
            link.reset();
        };
        const Bytes started = link->ask(start);
        if (started.size() != 20 || status_of(started) != 0) {
            failed(started.empty() ? "no answer to the exposure start" : "exposure refused");
            continue;
        }
        if (!(camera.stream_at_once && random() % 2)) {
            bool ready = false;
            for (auto until = Clock::now() + 10s; !ready && Clock::now() < until && !stopping;) {
                const Bytes answer = link->ask(make_request(CMD_IMAGEREADY));
                if (answer.size() != 21 || status_of(answer) != 0)
                    break;
                ready = answer[20] == 1;
                if (!ready)
                    std::this_thread::sleep_for(20ms);
            }
            if (!ready) {
                if (!stopping)
                    failed("the image did not become ready");
                continue;
            }
        }
        const size_t size = 20 + 2 * size_t(camera.w) * size_t(camera.h);
        link->send(make_request(CMD_READIMAGE));
        const Bytes image = link->response(30s, size);
        if (image.size() != size || status_of(image) != 0) {
            failed(image.empty() ? "the download ended short" : "READIMAGE refused");
            continue;
        }
        const FrameCheck check = check_frame(image, x, y, camera.w, camera.h);
        if (check.first_wrong == size_t(camera.w) * size_t(camera.h)) {
            ++frames.items;
            frames.bytes += image.size();
        } else if (check.zeros_after && watch.touched()) {
            ++frames.interrupted;
            link.reset();
        } else {
            error(frames, "%s: pixel %zu of window %d,%d %dx%d differs%s", camera.name, check.first_wrong, x, y,
                  camera.w, camera.h, watch.touched() ? " (camera replugged, but no zeros after it)" : "");
            link.reset();
        }
    }
}

// --- Both serial bridges, echoed on the pty's far end ---

constexpr uint8_t IAC = 0xFF;

// Sends every byte read on the pty master straight back.
void far_end(int master) {
    uint8_t buffer[4096];
    while (!stopping) {
        pollfd wait = {master, POLLIN, 0};
        if (poll(&wait, 1, 100) != 1)
            continue;
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0 && write(master, buffer, size_t(n)) != n)
            fprintf(stderr, "soak: pty echo write failed\n");
    }
}

// The data bytes of a Telnet stream; commands and subnegotiations dropped.
class TelnetReader {
public:
    void feed(const uint8_t* bytes, size_t length, Bytes& data) {
        for (size_t i = 0; i < length; ++i) {
            const uint8_t byte = bytes[i];
            if (state_ == State::option) {
                state_ = State::data;
            } else if (state_ == State::iac) {
                state_ = byte >= 251 && byte != IAC ? State::option : State::data;
                if (byte == IAC && !sub_)
                    data.push_back(IAC);
                else if (byte == 250)
                    sub_ = true;
                else if (byte == 240)
                    sub_ = false;
            } else if (byte == IAC) {
                state_ = State::iac;
            } else if (!sub_) {
                data.push_back(byte);
            }
        }
    }

private:
    enum class State { data, iac, option };
    State state_ = State::data;
    bool sub_ = false;
};

void serial_client(uint16_t port) {
    enter_box();
    std::mt19937 random(port);
    for (bool first = true; !stopping; first = false) {
        // The last connection is closed: its session ends before this one comes.
        if (!first)
            std::this_thread::sleep_for(100ms);
        Link link(port);
        const int one = 1;
        setsockopt(link.sd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const uint8_t offer[] = {IAC, 251, 44};  // WILL COM-PORT-OPTION
        if (!link.ok() || !link.send(Bytes(offer, offer + 3))) {
            error(serial, "port %u: no connection", port);
            std::this_thread::sleep_for(1s);
            continue;
        }
        TelnetReader reader;
        // A connection that comes while the last one's session is still
        // ending is refused: closed before anything came back.
        const auto refused = [&] {
            ++serial.interrupted;
            std::this_thread::sleep_for(200ms);
        };
        // Some hundred messages per connection, then a new one.
        for (int message = 0; message < 300 && !stopping; ++message) {
            Bytes data(1 + random() % 1024), wire;
            for (uint8_t& byte : data) {
                byte = static_cast<uint8_t>(random());
                wire.push_back(byte);
                if (byte == IAC)
                    wire.push_back(IAC);
            }
            if (!link.send(wire)) {
                if (message == 0)
                    refused();
                else
                    error(serial, "port %u: send failed: %s", port, std::strerror(errno));
                break;
            }
            Bytes back;
            uint8_t chunk[4096];
            bool closed = false;
            const auto deadline = Clock::now() + 5s;
            while (back.size() < data.size() && !closed) {
                pollfd wait = {link.sd(), POLLIN, 0};
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0 || poll(&wait, 1, int(left.count())) != 1)
                    break;
                const ssize_t n = recv(link.sd(), chunk, sizeof chunk, 0);
                closed = n <= 0;
                if (!closed)
                    reader.feed(chunk, size_t(n), back);
            }
            if (back.empty() && closed && message == 0) {
                refused();
                break;
            }
            if (back.size() < data.size()) {
                error(serial, "port %u: %zu of %zu bytes came back%s", port, back.size(), data.size(),
                      closed ? ", then the bridge closed" : "");
                break;
            }
            if (back != data) {
                const size_t at = size_t(std::mismatch(data.begin(), data.end(), back.begin()).first - data.begin());
                error(serial, "port %u: byte %zu of %zu came back wrong", port, at, data.size());
                break;
            }
            ++serial.items;
            serial.bytes += data.size();
            std::this_thread::sleep_for(5ms);
        }
    }
}

// --- Alpaca clients ---

struct Answer {
    bool ok = false;     // HTTP 200 and ErrorNumber 0
    std::string value;   // the Value's text ("true", "3", ...)
    std::string body;
};

Answer alpaca(harness::HttpClient& http, const std::string& method, const std::string& device,
              const std::string& member, const std::string& form = "") {
    const std::string target = "/api/v1/" + device + "/" + member + (method == "GET" ? "?ClientTransactionID=1" : "");
    const harness::HttpAnswer answer =
        http.request(method, target, {}, method == "GET" ? "" : form + (form.empty() ? "" : "&") + "ClientTransactionID=1");
    Answer result;
    result.body = answer.body;
    result.ok = answer.status == 200 && answer.body.find("\"ErrorNumber\":0,") != std::string::npos;
    const size_t at = answer.body.find("\"Value\":");
    if (at != std::string::npos)
        result.value = answer.body.substr(at + 8, answer.body.find_first_of(",}", at + 8) - at - 8);
    return result;
}

// "camera/N" or "filterwheel/N" of the device named `name`.
std::string alpaca_device(const std::string& name) {
    harness::HttpClient http;
    const std::string body = http.request("GET", "/management/v1/configureddevices").body;
    const size_t at = body.find("\"DeviceName\":\"" + name + "\"");
    if (at == std::string::npos)
        return "";
    const size_t type = body.find("\"DeviceType\":\"", at), number = body.find("\"DeviceNumber\":", at);
    if (type == std::string::npos || number == std::string::npos)
        return "";
    return (body.compare(type + 14, 6, "Camera") == 0 ? "camera/" : "filterwheel/") +
           std::to_string(std::atoi(body.c_str() + number + 15));
}

// A call that should succeed: an error unless its device was replugged.
bool call(harness::HttpClient& http, Device device, const std::string& path, const std::string& method,
          const std::string& member, const std::string& form = "", Answer* out = nullptr) {
    const Watch watch(devices[device]);
    Answer answer = alpaca(http, method, path, member, form);
    ++alpaca_calls.items;
    alpaca_calls.bytes += answer.body.size();
    if (!answer.ok) {
        if (watch.touched() || !devices[device].present || answer.body.find("\"ErrorNumber\":1031,") != std::string::npos)
            ++alpaca_calls.interrupted;
        else
            error(alpaca_calls, "%s %s/%s %s: %s", method.c_str(), path.c_str(), member.c_str(), form.c_str(),
                  answer.body.substr(0, 200).c_str());
    }
    if (out)
        *out = std::move(answer);
    return out ? out->ok : answer.ok;
}

// Polls the third camera's state and the wheel, and moves the wheel.
void alpaca_poller(const std::string& camera, const std::string& wheel, int number) {
    enter_box();
    harness::HttpClient http;
    std::mt19937 random(300 + number);
    while (!stopping) {
        for (const char* member : {"camerastate", "imageready", "ccdtemperature"})
            call(http, CAM_C, camera, "GET", member);
        Answer position;
        if (call(http, WHEEL_C, wheel, "GET", "position", "", &position) && number == 0 && position.value != "-1")
            call(http, WHEEL_C, wheel, "PUT", "position", "Position=" + std::to_string(random() % 5));
        std::this_thread::sleep_for(50ms);
    }
}

// Exposes the third camera over Alpaca and downloads its frames as
// ImageBytes, every pixel checked.
void alpaca_downloader(const std::string& camera) {
    enter_box();
    harness::HttpClient http(8000, -1, false, 30s);
    std::mt19937 random(63);
    constexpr int W = 600, H = 400;
    alpaca(http, "PUT", camera, "numx", "NumX=" + std::to_string(W));
    alpaca(http, "PUT", camera, "numy", "NumY=" + std::to_string(H));
    while (!stopping) {
        const Watch watch(devices[CAM_C]);
        const int x = int(random() % (800 - W + 1)), y = int(random() % (600 - H + 1));
        const auto failed = [&](const std::string& what) {
            if (watch.touched() || !devices[CAM_C].present)
                ++alpaca_frames.interrupted;
            else
                error(alpaca_frames, "alpaca frame %d,%d: %s", x, y, what.c_str());
            std::this_thread::sleep_for(200ms);
        };
        if (!alpaca(http, "PUT", camera, "startx", "StartX=" + std::to_string(x)).ok ||
            !alpaca(http, "PUT", camera, "starty", "StartY=" + std::to_string(y)).ok) {
            failed("the window was refused");
            continue;
        }
        const Answer started = alpaca(http, "PUT", camera, "startexposure", "Duration=0.05&Light=true");
        if (!started.ok) {
            failed("startexposure: " + started.body.substr(0, 200));
            continue;
        }
        bool ready = false;
        for (auto until = Clock::now() + 10s; !ready && Clock::now() < until && !stopping;) {
            const Answer answer = alpaca(http, "GET", camera, "imageready");
            if (!answer.ok)
                break;
            ready = answer.value == "true";
            if (!ready)
                std::this_thread::sleep_for(20ms);
        }
        if (!ready) {
            if (!stopping)
                failed("the image did not become ready");
            continue;
        }
        const harness::HttpAnswer image = http.request(
            "GET", "/api/v1/" + camera + "/imagearray?ClientTransactionID=1", {{"Accept", "application/imagebytes"}});
        const std::string& body = image.body;
        const auto u32 = [&](size_t at) {
            uint32_t v = 0;
            std::memcpy(&v, body.data() + at, 4);
            return v;
        };
        if (image.status != 200 || body.size() != 44 + 2 * size_t(W) * H || u32(4) != 0 || u32(32) != W ||
            u32(36) != H) {
            failed("imagearray answered " + std::to_string(image.status) + " with " + std::to_string(body.size()) +
                   " bytes");
            continue;
        }
        // Element (X, Y), X outer, is column X of frame row H-1-Y.
        size_t wrong = 0;
        for (int X = 0; X < W; ++X)
            for (int Y = 0; Y < H; ++Y) {
                uint16_t v;
                std::memcpy(&v, body.data() + 44 + 2 * (size_t(X) * H + size_t(Y)), 2);
                wrong += v != pattern(x + X, y + H - 1 - Y);
            }
        if (wrong != 0) {
            error(alpaca_frames, "alpaca frame %d,%d: %zu pixels differ", x, y, wrong);  // never cut: always an error
            continue;
        }
        ++alpaca_frames.items;
        alpaca_frames.bytes += body.size();
    }
}

// --- The daemon's resources ---

size_t entries(pid_t pid, const char* what) {
    size_t count = 0;
    if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/" + what).c_str())) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

// What the descriptors of the daemon refer to ("socket:[1234]", "/memfd:telva (deleted)").
std::vector<std::string> descriptor_targets(pid_t pid) {
    std::vector<std::string> targets;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* listing = opendir(dir.c_str())) {
        while (dirent* entry = readdir(listing)) {
            char target[256] = {};
            if (entry->d_name[0] != '.' &&
                readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1) > 0)
                targets.push_back(target);
        }
        closedir(listing);
    }
    std::sort(targets.begin(), targets.end());
    return targets;
}

// Descriptors as the quiet daemon holds them: the fewest of half a second
// of looks, since a connection just served may still be on its way out.
size_t quiet_descriptors(pid_t pid) {
    size_t fewest = entries(pid, "fd");
    for (int look = 0; look < 25; ++look, std::this_thread::sleep_for(20ms))
        fewest = std::min(fewest, entries(pid, "fd"));
    return fewest;
}

std::string mb(const std::atomic<uint64_t>& bytes) {
    char text[32];
    snprintf(text, sizeof text, "%.1fMB", double(bytes.load()) / 1e6);
    return text;
}

std::string n(const std::atomic<uint64_t>& count) { return std::to_string(count.load()); }

// The counts so far, stream by stream: items, bytes, interrupted, errors.
std::string counts() {
    return "enum " + n(enums.items) + " " + mb(enums.bytes) + " dropped " + n(enums.interrupted) + " err " +
           n(enums.errors) + " | frames " +
           n(frames.items) + " " + mb(frames.bytes) + " int " + n(frames.interrupted) + " err " + n(frames.errors) +
           " | serial " + n(serial.items) + " " + mb(serial.bytes) + " refused " + n(serial.interrupted) + " err " +
           n(serial.errors) + " | alpaca calls " +
           n(alpaca_calls.items) + " int " + n(alpaca_calls.interrupted) + " err " + n(alpaca_calls.errors) +
           " frames " + n(alpaca_frames.items) + " " + mb(alpaca_frames.bytes) + " int " +
           n(alpaca_frames.interrupted) + " err " + n(alpaca_frames.errors);
}

bool listed(const harness::TestBox& box, uint32_t command, int32_t count) {
    harness::ProtocolClient lister(box);
    const Bytes answer = lister.ask(make_request(command));
    return answer.size() >= 24 && get<int32_t>(answer, 20) == count;
}

}  // namespace

int main(int argc, char** argv) try {
    int minutes = 60;
    std::string kinds = "clients,sessions,plugging,serial,alpaca";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--minutes") == 0 && i + 1 < argc)
            minutes = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--load") == 0 && i + 1 < argc)
            kinds = argv[++i];
        else
            fail(std::string("usage: soak [--minutes N] [--load clients,sessions,plugging,serial,alpaca]"));
    }
    const auto with = [&](const char* kind) { return ("," + kinds + ",").find(std::string(",") + kind + ",") != std::string::npos; };

    harness::TestBox box("alpaca_enabled = 1\nverbosity = warning\n");
    const pid_t launcher = box.start({"--simulate", "--sim-time-scale", "0.05"});
    box.wait_exit(launcher);
    const pid_t daemon = box.daemon_pid().value_or(-1);
    if (daemon <= 0 || !harness::eventually([&] { return box.in_main_loop(daemon); }) ||
        !harness::eventually([&] { return box.tcp_listening(daemon, 8000); }, 10s))
        fail("telvad did not start: " + box.output(launcher));
    box_net = open(("/proc/" + std::to_string(daemon) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    if (box_net < 0)
        fail("no network namespace of the daemon");

    devices[CAM_A].line = "plug camera 1201 id=61 width=1600 height=1200 read_rate=10000000 desc=soakA";
    devices[CAM_B].line = "plug camera 3216 id=62 desc=soakB";
    devices[CAM_C].line = "plug camera 1201 id=63 width=800 height=600 read_rate=20000000 desc=soakC";
    devices[WHEEL_C].line = "plug wheel id=71 move_ms=5 desc=soakW";
    devices[WHEEL_B].line = "plug wheel id=72 move_ms=5 desc=soakV";
    for (Plugged& device : devices)
        if (!plug(box, device))
            fail("could not plug: " + device.line);
    if (!harness::eventually([&] { return listed(box, CMD_ENUMCAMERAS, 3) && listed(box, CMD_ENUMWHEELS, 2); }, 10s))
        fail("the devices did not appear");
    std::string camera, wheel;
    std::thread([&] {
        enter_box();
        harness::eventually([&] { return !(camera = alpaca_device("soakC")).empty(); }, 10s);
        harness::eventually([&] { return !(wheel = alpaca_device("soakW")).empty(); }, 10s);
    }).join();
    if (camera.empty() || wheel.empty())
        fail("the Alpaca devices did not appear");

    // The daemon connects to syslog at its first line: one warning now, so
    // that the descriptor counts the start value too.
    {
        harness::ProtocolClient client(box);
        Bytes connect = make_request(CMD_CONNECTCAMERA);
        put<uint32_t>(connect, 16, 61);
        Bytes stray = make_request(16);
        put<uint64_t>(stray, 0, 0xF5E4D3C2B1A00001ull);  // a response's magic
        if (status_of(client.ask(connect)) != 0 || !client.send(stray) || !box.wait_for_log("Unknown packet magic"))
            fail("no warning came from telvad");
    }
    if (!harness::eventually([&] { return listed(box, CMD_ENUMCAMERAS, 3); }, 10s))
        fail("camera 61 was not released");
    const size_t start_fds = quiet_descriptors(daemon);
    const size_t start_threads = entries(daemon, "task");
    const std::vector<std::string> start_targets = descriptor_targets(daemon);
    printf("soak: %d minutes; telvad pid %d starts with %zu descriptors, %zu threads, %ld kB resident\n", minutes,
           daemon, start_fds, start_threads, status_kb(daemon, "VmRSS:"));
    fflush(stdout);

    std::atomic<uint64_t> unplugs{0};
    std::vector<std::thread> load;
    for (int i = 0; i < ENUMERATORS && with("clients"); ++i)
        load.emplace_back(enumerator, i);
    const SessionCamera session_cameras[] = {
        {"camera 61", CAM_A, 61, 1600, 1200, 1000, 700, 1, true},
        {"camera 62", CAM_B, 62, 1392, 1040, 800, 600, 4, false},
    };
    for (const SessionCamera& session : session_cameras)
        if (with("sessions"))
            load.emplace_back(camera_session, std::cref(session));
    for (int position = 0; position < 2 && with("serial"); ++position) {
        load.emplace_back(far_end, box.serial_master(position));
        load.emplace_back(serial_client, uint16_t(49000 + position));
    }
    bool connected = false;
    std::thread([&] {
        enter_box();
        harness::HttpClient http;
        connected = alpaca(http, "PUT", camera, "connected", "Connected=true").ok &&
                    alpaca(http, "PUT", wheel, "connected", "Connected=true").ok;
    }).join();
    if (!connected)
        fail("the Alpaca devices did not connect");
    for (int number = 0; number < 2 && with("alpaca"); ++number)
        load.emplace_back(alpaca_poller, camera, wheel, number);
    if (with("alpaca"))
        load.emplace_back(alpaca_downloader, camera);
    std::thread chaos_thread;
    if (with("plugging"))
        chaos_thread = std::thread(chaos, std::cref(box), std::ref(unplugs));

    long first_rss = 0, last_rss = 0;
    bool died = false;
    for (int minute = 1; minute <= minutes && !died; ++minute) {
        // Frames in flight come and go: the minute's median is what the
        // daemon holds, its peak what it held at the busiest moment.
        std::vector<long> samples;
        for (int second = 0; second < 60; ++second) {
            std::this_thread::sleep_for(1s);
            if (kill(daemon, 0) != 0) {
                died = true;
                break;
            }
            samples.push_back(status_kb(daemon, "VmRSS:"));
        }
        if (died)
            break;
        std::sort(samples.begin(), samples.end());
        const long median = samples[samples.size() / 2];
        // Minute 1 warms up (buffers, arenas, caches); the reference is the
        // minute after it, when there is one.
        if (minute == std::min(2, minutes))
            first_rss = median;
        last_rss = median;
        printf("soak %3d/%d min: fds %zu rss %ld kB (peak %ld) threads %zu unplugs %s | %s\n", minute, minutes,
               entries(daemon, "fd"), median, samples.back(), entries(daemon, "task"), n(unplugs).c_str(),
               counts().c_str());
        fflush(stdout);
    }

    stopping = true;
    if (chaos_thread.joinable())
        chaos_thread.join();
    for (std::thread& thread : load)
        thread.join();
    std::vector<std::string> reasons;
    if (died || kill(daemon, 0) != 0)
        fail("telvad died under the load");
    // The last unplugged device was plugged in again by the chaos thread.
    std::thread([&] {
        enter_box();
        harness::HttpClient http;
        alpaca(http, "PUT", camera, "connected", "Connected=false");
        alpaca(http, "PUT", wheel, "connected", "Connected=false");
    }).join();
    if (!harness::eventually([&] { return listed(box, CMD_ENUMCAMERAS, 3) && listed(box, CMD_ENUMWHEELS, 2); }, 20s))
        reasons.push_back("not all devices listed again after the load");
    size_t end_fds = 0, end_threads = 0;
    harness::eventually([&] {
        end_fds = quiet_descriptors(daemon);
        end_threads = entries(daemon, "task");
        return end_fds == start_fds && end_threads == start_threads;
    }, 30s);

    for (auto [stream, name] : {std::pair{&enums, "listing"}, {&frames, "frame"}, {&serial, "serial"},
                                {&alpaca_calls, "Alpaca call"}, {&alpaca_frames, "Alpaca frame"}}) {
        if (stream->errors)
            reasons.push_back(std::to_string(stream->errors) + " " + name + " errors");
        if (stream->items == 0 && with(stream == &enums ? "clients" : stream == &frames ? "sessions" : stream == &serial ? "serial" : "alpaca"))
            reasons.push_back(std::string("no ") + name + " went through");
    }
    const size_t dropped = box.count_log("is dropped for a new one") + box.count_log("refused: all");
    if (enums.interrupted > dropped)
        reasons.push_back(n(enums.interrupted) + " listings cut off, " + std::to_string(dropped) +
                          " connections dropped or refused by telvad for room");
    if (end_fds != start_fds) {
        reasons.push_back("descriptors " + std::to_string(start_fds) + " -> " + std::to_string(end_fds));
        // Sockets differ by their inode, devices by nothing: what came new.
        std::vector<std::string> end_targets = descriptor_targets(daemon), gone = start_targets;
        for (const std::string& target : end_targets) {
            const auto same = std::find_if(gone.begin(), gone.end(), [&](const std::string& old) {
                return old == target || (old.starts_with("socket:") && target.starts_with("socket:"));
            });
            if (same != gone.end()) {
                gone.erase(same);
            } else {
                fprintf(stderr, "soak: held at the end only: %s\n", target.c_str());
                if (target.starts_with("socket:["))
                    for (const char* table : {"tcp", "udp", "unix"}) {
                        std::istringstream lines(box.proc_net(daemon, table));
                        std::string line;
                        while (std::getline(lines, line))
                            if ((line + " ").find(" " + target.substr(8, target.size() - 9) + " ") != std::string::npos)
                                fprintf(stderr, "soak:   %s: %s\n", table, line.c_str());
                    }
            }
        }
        for (const std::string& target : gone)
            fprintf(stderr, "soak: held at the start only: %s\n", target.c_str());
    }
    if (end_threads != start_threads)
        reasons.push_back("threads " + std::to_string(start_threads) + " -> " + std::to_string(end_threads));
    // What the daemon logged (warnings and worse), the most frequent first.
    std::vector<std::pair<size_t, std::string>> logged;
    for (const harness::LogLine& line : box.log()) {
        std::string text = line.text;
        std::replace_if(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }, '#');
        const auto same = std::find_if(logged.begin(), logged.end(), [&](const auto& entry) { return entry.second == text; });
        if (same == logged.end())
            logged.emplace_back(1, text);
        else
            ++same->first;
    }
    std::sort(logged.rbegin(), logged.rend());
    for (size_t i = 0; i < logged.size() && i < 15; ++i)
        fprintf(stderr, "soak: telvad logged %zu x: %s\n", logged[i].first, logged[i].second.c_str());
    const double growth = first_rss > 0 ? 100.0 * double(last_rss - first_rss) / double(first_rss) : 0;
    if (growth >= 5)
        reasons.push_back("resident memory grew " + std::to_string(growth) + " %");
    std::string why;
    for (const std::string& reason : reasons)
        why += (why.empty() ? "" : "; ") + reason;
    printf("soak verdict: %s%s (descriptors %zu -> %zu, threads %zu -> %zu, resident %ld kB in minute %d -> %ld kB "
           "in minute %d: %+.1f %%, settled %ld kB)\n",
           reasons.empty() ? "PASS" : "FAIL: ", why.c_str(), start_fds, end_fds, start_threads, end_threads, first_rss,
           std::min(2, minutes), last_rss, minutes, growth, status_kb(daemon, "VmRSS:"));
    return reasons.empty() ? 0 : 1;
} catch (const std::exception& problem) {
    stopping = true;
    fprintf(stderr, "soak: %s\n", problem.what());
    fflush(stderr);
    _exit(2);  // threads of the load may still run
}
