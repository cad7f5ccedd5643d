// settings.cpp - the run's settings, with their defaults in place before the
// entry point runs.
#include "core/settings.h"

namespace {

SettingsRec oSettings;

}  // namespace

const SettingsRec &Settings = oSettings;

SettingsRec &FillSettings() { return oSettings; }
