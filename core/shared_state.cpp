// shared_state.cpp - the process-wide record, with its defaults in place
// before the entry point runs.
#include "core/shared_state.h"

SharedStateRec SharedState;
