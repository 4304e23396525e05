// The instrument an acquisition was recorded on, as its Devices.xml names it.
#pragma once

#include <string>

namespace velorium {

struct DeviceInfo {
  std::string name;   // not empty
  std::string model;  // not empty
  friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

}  // namespace velorium
