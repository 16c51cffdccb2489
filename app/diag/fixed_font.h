// The fixed-pitch font of the diagnostic windows, chosen among the fonts this machine has.
#pragma once

#include <QFont>

// A font Qt resolves to a fixed-pitch face: the desktop's own monospace font when it is one,
// else the first of a few common fixed-pitch families that is installed, else any installed
// family that is fixed pitch. Some desktops' default monospace face is not reported as fixed
// pitch, so the desktop's choice alone is not enough.
QFont FixedPitchFont(int pixelSize);
