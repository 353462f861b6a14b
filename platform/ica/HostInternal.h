// Shared between the files of the host stand-in; not for the module.
#pragma once

#include <string>

#include "platform/ica/ICAHostTesting.h"

namespace tarvell {
namespace ica {
namespace internal {

// The status a test has set for `call`, or 0.
ICAError Fault(HostCall call);
void RecordThumbnailRequest(const std::string& iconFile);

}  // namespace internal
}  // namespace ica
}  // namespace tarvell
