// The start-up both updaters share: the command line, the application object, the three
// windows, and either the window's event loop or an unattended run (--auto).
#pragma once

#include <QString>

class AutoVerifier;
class TfmIsp;

struct UpdaterProgram {
    QString name;   // as in messages and --version
    QString about;  // the first line of --help
    bool simulated = false;
};

// What a program adds to the shared start-up.
class UpdaterHooks {
  public:
    virtual ~UpdaterHooks() = default;
    // After the application object, before the window: what the window must not outlive.
    virtual void BeforeWindow() {}
    // With the window shown. False ends the program (exit 2) after saying why on stderr.
    virtual bool WindowShown(TfmIsp& /*isp*/) { return true; }
    // The check after " Program OK !! " of an unattended run; null for none.
    virtual AutoVerifier* Verifier() { return nullptr; }
};

int UpdaterMain(int argc, char* argv[], const UpdaterProgram& program, UpdaterHooks& hooks);
