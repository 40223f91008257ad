#pragma once
// The device controller both device benchmarks measure: bound to the device library, on the
// first simulated device that attaches, connected. Aborts when any step fails, since a
// benchmark without its device has nothing to measure.

#include <memory>

class AppController;

namespace BenchDevice {

std::unique_ptr<AppController> connectedController();

} // namespace BenchDevice
