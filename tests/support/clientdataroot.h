#pragma once

#include "tempdataroot.h"

// A throw-away data root for the client's code in this process: the client's process-wide
// records are back at their defaults, and its data directories are made below this root as
// the client makes them at start.
class ClientDataRoot : public TempDataRoot {
  public:
    ClientDataRoot();
};
