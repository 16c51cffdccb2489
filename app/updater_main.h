// The start-up both updaters share: the command line, the application object, the three
// windows, and either the window's event loop, an unattended run (--auto), several units at
// once (--all, --loop) or the list of units (--list).
#pragma once

#include <QString>

class AutoVerifier;
struct UnitIdentity;
struct UpdaterOptions;

struct UpdaterProgram {
    QString name;   // as in messages and --version
    QString about;  // the first line of --help
    bool simulated = false;
};

// What a program adds to the shared start-up.
class UpdaterHooks {
  public:
    virtual ~UpdaterHooks() = default;
    // After the application object, before any window: what the windows must not outlive.
    virtual void BeforeWindow(const UpdaterOptions& /*options*/) {}
    // Once the program looks for units (the window is shown). False ends the program (exit 2)
    // after saying why on stderr.
    virtual bool PlugIn() { return true; }
    // The check after " Program OK !! " of an unattended run of this unit; null for none.
    virtual AutoVerifier* VerifierFor(const UnitIdentity& /*unit*/) { return nullptr; }
};

int UpdaterMain(int argc, char* argv[], const UpdaterProgram& program, UpdaterHooks& hooks);
