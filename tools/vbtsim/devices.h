#pragma once
// Builds the device a scenario entry describes.

#include <memory>

namespace cvx::vbtsim {

class Device;
class JsonReader;
struct SimContext;
enum class Protocol;

// Reads the entry's "kind" and "type" and hands the rest to the device; throws
// ScenarioError for a bad entry (unknown keys included).
std::unique_ptr<Device> createDevice(SimContext& ctx, JsonReader& cfg, Protocol protocol);

} // namespace cvx::vbtsim
