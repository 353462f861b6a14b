// The rules the device applies to what a host sends it: the form of the parameter map and of
// each call's arguments. The simulated scanner refuses, with an "exception" reply naming the
// fault, whatever breaks them, so that a driver fault shows in every test that scans.
#pragma once

#include <string>

#include "sim/TestChart.h"

class Element;

namespace tarvell::sim {

// A parameter map that passed the rules.
struct CheckedParameters {
  ChartRequest request;
  int originalMediaSize = 0;
  std::string canonical;  // every entry as "path=value;", for comparing two maps
};

// Empty when `map` is a parameter map as the device takes it, else the fault, naming the entry
// ("scanParameters.resolution 100 is not one of 75, 150, 200, 300, 400, 600").
std::string ParameterMapFault(Element* map, CheckedParameters* out);

// The fault of a call's argument list for `method`, or empty. "enterHostUSBSendMode" takes one
// parameter map, "create" the text "HostSendJob" and a parameter map (filled into *out for
// both), the other calls nothing. `params` may be null (no argument list).
std::string ArgumentsFault(const std::string& method, Element* params, CheckedParameters* out);

}  // namespace tarvell::sim
