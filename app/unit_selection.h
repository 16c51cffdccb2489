// Which of the Velto units present the window's session is for. With one unit present the
// window takes it, as it always has; with several it takes the one asked for on the command
// line or chosen in the window, and none while no choice is made. Once a run has started, only
// the unit it started on is ever taken again until the run ends, whatever else is plugged in.
#pragma once

#include <QString>

#include <optional>
#include <vector>

#include "app/update_session.h"
#include "hid/unit_identity.h"

class TJvHidDevice;
class TJvHidDeviceController;

// A Velto unit seen in the last change pass.
struct UnitEntry {
    UnitIdentity identity;
    DeviceMode mode = DeviceMode::None;
    bool readWrite = false;  // the node can be opened for reading and writing

    bool operator==(const UnitEntry&) const = default;
};

class UnitSelection {
  public:
    // --port / --serial: only a unit they accept is taken.
    void SetRequest(const UnitRequest& request) { request_ = request; }
    const UnitRequest& Request() const { return request_; }
    // The user's pick among several units.
    void Choose(const UnitIdentity& unit) { chosen_ = unit; }
    const std::optional<UnitIdentity>& Chosen() const { return chosen_; }
    // The run under way and the unit it started on (none: no run is under way).
    void FollowRun(const std::optional<UnitIdentity>& runUnit) { runUnit_ = runUnit; }

    void SetPresent(std::vector<UnitEntry> units) { present_ = std::move(units); }
    const std::vector<UnitEntry>& Present() const { return present_; }

    // Whether this unit may be taken now.
    bool Wants(const UnitIdentity& unit) const;
    // Several units are present, none was asked for or chosen, and no run holds one: the user
    // has to choose.
    bool ChoiceNeeded() const;

    // "1-2  update mode  serial A123": how a unit is listed to the user.
    static QString Describe(const UnitEntry& unit);

  private:
    bool ChosenPresent() const;

    UnitRequest request_;
    std::optional<UnitIdentity> chosen_;
    std::optional<UnitIdentity> runUnit_;
    std::vector<UnitEntry> present_;
};

// The Velto units a controller lists now, in its order.
std::vector<UnitEntry> VeltoUnitsOf(TJvHidDeviceController& controller);
bool IsVeltoDevice(const TJvHidDevice* dev);
