// The scan's output file: written beside the target under a temporary name and renamed into
// place only when complete, so a failed or interrupted scan leaves no half-written file (and an
// existing target untouched). It is created before the scanner is touched, so a file that cannot
// be written costs no scan.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "imaging/ImageEncoder.h"
#include "platform/system/Types.h"

namespace tarvell {
namespace ica {

// A format the scan is written in: the driver's TIFF as it comes, or the page re-encoded.
struct OutputFormat {
  const char* name;   // for --format: "tiff"
  const char* label;  // for people: "TIFF"
  std::vector<std::string> extensions;
  bool driversTiff;  // the driver's file as it is; otherwise re-encoded as `encoding`
  imaging::ImageFormat encoding;
};
const std::vector<OutputFormat>& OutputFormats();
// "tiff, png, ... or pnm", or with `extensions` ".tif, .tiff, ... or .pnm".
std::string OutputFormatList(bool extensions);
// The format `formatOption` names or, without one, the one the extension of `path` names (TIFF
// for a name without one). Null with a message for the user for anything else.
const OutputFormat* ChooseOutputFormat(const std::string& path, const std::string* formatOption, std::string* error);

class OutputFile {
 public:
  ~OutputFile() { Discard(); }

  // Creates the temporary file beside `target` (in the working folder for "", the name given
  // later by Name); removed if the program is interrupted. Refuses a target that is a folder.
  bool Open(const std::string& target, std::string* error);
  // Names the file opened with "" (a name without a folder).
  void Name(const std::string& target) { target_ = target; }
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
