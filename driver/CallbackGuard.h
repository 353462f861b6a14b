// Keeps exceptions from crossing into the host: a callback body runs inside GuardCallback.
#pragma once

#include <new>

#include "platform/ica/ICAHost.h"

template <class Body>
ICAError GuardCallback(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return memFullErr;
  } catch (...) {
    return paramErr;
  }
}
