// Publishing the cameras of the registry to the Alpaca server.
#pragma once

namespace AlpacaServer {

// Installs the registry's publish_camera hook: a camera that takes a record
// while the Alpaca server runs (at start-up and on hot-plug) gets its camera
// device, and a filter-wheel device when it has a built-in wheel. Devices
// are never removed: one whose camera is unplugged answers 1031 until the
// camera is back, in whichever record it comes back. `period_scale`
// multiplies the periods of the camera devices' pollers.
void install_camera_publisher(double period_scale);

}  // namespace AlpacaServer
