// Hints about how large buffers will be used.
#pragma once

#include <cstddef>

namespace tarvell {

// Large buffers are filled once, front to back, in memory never touched before. Huge pages cut
// the cost of that first touch to a fraction (one fault per 2 MiB instead of one per 4 KiB); the
// advice is only a hint and changes no byte. Buffers under 4 MiB are left alone.
void PreferHugePages(void* start, size_t length);

}  // namespace tarvell
