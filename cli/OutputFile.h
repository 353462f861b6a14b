// The scan's output file: written beside the target under a temporary name and renamed into
// place only when complete, so a failed or interrupted scan leaves no half-written file (and an
// existing target untouched).
#pragma once

#include <cstddef>
#include <string>

#include "platform/system/Types.h"

namespace tarvell {
namespace ica {

class OutputFile {
 public:
  ~OutputFile() { Discard(); }

  // Creates the temporary file beside `target`; removed if the program is interrupted.
  bool Open(const std::string& target, std::string* error);
  bool Write(const UInt8* bytes, size_t count, std::string* error);
  // Closes and renames it to the target.
  bool Commit(std::string* error);
  // Removes what was written (nothing once committed).
  void Discard();

 private:
  std::string target_;
  std::string temp_;
  int fd_ = -1;
};

}  // namespace ica
}  // namespace tarvell
