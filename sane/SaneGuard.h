// The one wrapper around every entry point's body: whatever it throws becomes a SANE status, so
// nothing thrown by the driver or the host crosses into the frontend.
#pragma once

#include <sane/sane.h>

#include <exception>
#include <new>

#include "sane/SaneHost.h"

namespace tarvell::sane {

template <class Body>
SANE_Status Guarded(const char* entry, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    Debug(1, "%s: out of memory", entry);
    return SANE_STATUS_NO_MEM;
  } catch (const std::exception& e) {
    Debug(1, "%s: %s", entry, e.what());
    return SANE_STATUS_IO_ERROR;
  } catch (...) {
    Debug(1, "%s: the driver failed", entry);
    return SANE_STATUS_IO_ERROR;
  }
}

}  // namespace tarvell::sane
