// shared_state.cpp - the process-wide record, with its defaults in place
// before the entry point runs.
#include "core/shared_state.h"

#include <stdlib.h>

#include <new>

SharedStateRec SharedState;

void ResetSharedState() {
  // The record's defaults are its member initialisers: building it anew in
  // place cannot forget a field that is added later.
  SharedState.~SharedStateRec();
  new (&SharedState) SharedStateRec();
}
