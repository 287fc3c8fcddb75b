// Receiver of connected-standby transitions (see CCSMonitor).
#pragma once

namespace ETWLogging {

class ICStandbyListener {
 public:
  // |entering|: the machine enters connected standby (true) or leaves it (false). Called
  // on the monitor's thread, and from CCSMonitor::Start on the caller's.
  virtual void OnStandby(bool entering) = 0;

 protected:
  ~ICStandbyListener() = default;
};

}  // namespace ETWLogging
