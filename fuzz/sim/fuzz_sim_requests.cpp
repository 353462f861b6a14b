// The simulated scanner fed arbitrary bytes on its request pipe, with reads of both its pipes
// in between: it must answer or refuse, never crash, and keep its image stream bounded.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/SimulatedScanner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarvell::sim::SimulatedScanner scanner;
  // Pieces split at 0xFE bytes: each piece is one write, followed by one read of each pipe.
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0xFE) {
      scanner.BulkWrite(tarvell::sim::kRequestEndpoint, std::vector<UInt8>(data + start, data + i));
      scanner.BulkRead(tarvell::sim::kReplyEndpoint, 512);
      scanner.BulkRead(tarvell::sim::kImageEndpoint, 4096);
      start = i + 1;
    }
  }
  return 0;
}
