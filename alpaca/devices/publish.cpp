#include "alpaca/devices/publish.h"

#include <syslog.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "alpaca/devices/cv_camera.h"
#include "alpaca/server.h"
#include "common/log.h"
#include "registry/registry.h"

namespace AlpacaServer {

namespace {

// The claims of the published cameras by camera id, for the server that
// got their devices. Only the registry's hook uses them, with
// registry_mutex held.
struct Published {
    Server* server = nullptr;
    std::map<uint32_t, std::shared_ptr<CameraClaim>> cameras;
};

Published& published() {
    static Published instance;
    return instance;
}

std::string name_of(const CameraRecord& camera) {
    return std::string(camera.info.desc, strnlen(camera.info.desc, sizeof camera.info.desc));
}

void publish(CameraRecord& camera, double period_scale) {
    Server* server = alpaca_server();
    if (server == nullptr)
        return;
    Published& known = published();
    if (known.server != server) {
        known.server = server;
        known.cameras.clear();
    }
    if (auto found = known.cameras.find(camera.info.id); found != known.cameras.end()) {
        // The camera is back. Its devices hold no claim (one held would
        // have kept its record), so they move to the record it took.
        CameraClaim& claim = *found->second;
        std::lock_guard<std::mutex> hold(claim.name_mutex);
        claim.record.store(&camera);
        claim.name = name_of(camera);
        return;
    }
    auto claim = std::make_shared<CameraClaim>(camera);
    claim->name = name_of(camera);
    if (server->add_device(new CVCamera(claim, period_scale)) < 0)
        return;
    if (camera.info.filters != 0)
        server->add_device(new CVCameraWheel(claim));
    known.cameras.emplace(uint32_t{camera.info.id}, std::move(claim));
}

}  // namespace

void install_camera_publisher(double period_scale) {
    publish_camera = [period_scale](CameraRecord& camera) { publish(camera, period_scale); };
}

}  // namespace AlpacaServer
