#include "platform/system/Memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace tarvell {

void PreferHugePages(void* start, size_t length) {
  constexpr size_t kWorthIt = size_t(4) << 20;
  if (start == nullptr || length < kWorthIt) return;
  const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (uintptr_t(start) + page - 1) & ~(page - 1);
  const uintptr_t end = (uintptr_t(start) + length) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace tarvell
