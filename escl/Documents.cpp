#include "escl/Documents.h"

#include <libxml/xmlwriter.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "platform/system/SystemInfo.h"

namespace tarvell::escl {
namespace {

constexpr char kScanNamespace[] = "http://schemas.hp.com/imaging/escl/2011/05/03";
constexpr char kPwgNamespace[] = "http://www.pwg.org/schemas/2010/12/sm";

// A document written element by element into memory.
class Writer {
 public:
  explicit Writer(const char* root) : buffer_(xmlBufferCreate(), xmlBufferFree) {
    if (buffer_) writer_.reset(xmlNewTextWriterMemory(buffer_.get(), 0));
    if (!writer_) throw std::bad_alloc();
    xmlTextWriterSetIndent(writer_.get(), 1);
    xmlTextWriterStartDocument(writer_.get(), nullptr, "UTF-8", nullptr);
    Open(root);
    xmlTextWriterWriteAttribute(writer_.get(), BAD_CAST "xmlns:scan", BAD_CAST kScanNamespace);
    xmlTextWriterWriteAttribute(writer_.get(), BAD_CAST "xmlns:pwg", BAD_CAST kPwgNamespace);
    Leaf("pwg:Version", kEsclVersion);
  }
  // `name` with its prefix, as clients match it.
  void Open(const char* name) { xmlTextWriterStartElement(writer_.get(), BAD_CAST name); }
  void Close() { xmlTextWriterEndElement(writer_.get()); }
  void Leaf(const char* name, const std::string& text) {
    xmlTextWriterWriteElement(writer_.get(), BAD_CAST name, BAD_CAST text.c_str());
  }
  void Leaf(const char* name, UInt32 value) { Leaf(name, std::to_string(value)); }
  std::string Finish() {
    xmlTextWriterEndDocument(writer_.get());
    writer_.reset();  // flushes into the buffer
    return std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer_.get())), xmlBufferLength(buffer_.get()));
  }

 private:
  struct FreeWriter {
    void operator()(xmlTextWriter* w) const { xmlFreeTextWriter(w); }
  };
  std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> buffer_;
  std::unique_ptr<xmlTextWriter, FreeWriter> writer_;
};

}  // namespace

const std::vector<std::string>& OfferedFormats() {
  static const std::vector<std::string> formats = {"application/pdf", "image/png", "image/jpeg"};
  return formats;
}

const char* Text(JobState state) {
  switch (state) {
    case JobState::kProcessing: return "Processing";
    case JobState::kCompleted: return "Completed";
    case JobState::kCanceled: return "Canceled";
    case JobState::kAborted: return "Aborted";
  }
  return "Aborted";
}

const char* Text(JobReason reason) {
  switch (reason) {
    case JobReason::kScanning: return "JobScanning";
    case JobReason::kCompletedSuccessfully: return "JobCompletedSuccessfully";
    case JobReason::kCanceledByUser: return "JobCanceledByUser";
    case JobReason::kAbortedBySystem: return "AbortedBySystem";
    case JobReason::kErrorsDetected: return "ErrorsDetected";
  }
  return "ErrorsDetected";
}

const char* Text(ScannerState state) {
  switch (state) {
    case ScannerState::kIdle: return "Idle";
    case ScannerState::kProcessing: return "Processing";
    case ScannerState::kDown: return "Down";
  }
  return "Down";
}

std::string CapabilitiesDocument(const ScannerDescription& scanner) {
  Writer w("scan:ScannerCapabilities");
  w.Leaf("pwg:MakeAndModel", scanner.makeAndModel);
  w.Leaf("pwg:SerialNumber", scanner.serialNumber);
  w.Leaf("scan:UUID", scanner.uuid);
  w.Leaf("scan:Manufacturer", kManufacturer);
  if (!scanner.adminUrl.empty()) w.Leaf("scan:AdminURI", scanner.adminUrl);
  if (!scanner.iconUrl.empty()) w.Leaf("scan:IconURI", scanner.iconUrl);
  w.Open("scan:Platen");
  w.Open("scan:PlatenInputCaps");
  w.Leaf("scan:MinWidth", scanner.minimumSide);
  w.Leaf("scan:MaxWidth", scanner.width);
  w.Leaf("scan:MinHeight", scanner.minimumSide);
  w.Leaf("scan:MaxHeight", scanner.height);
  w.Leaf("scan:MaxPhysicalWidth", scanner.width);
  w.Leaf("scan:MaxPhysicalHeight", scanner.height);
  w.Leaf("scan:MaxScanRegions", 1);
  // One profile, as clients read one: every mode at every resolution (colour above the device's
  // colour maximum is scanned at that maximum and scaled).
  w.Open("scan:SettingProfiles");
  w.Open("scan:SettingProfile");
  w.Open("scan:ColorModes");
  for (const char* mode : {"RGB24", "Grayscale8", "BlackAndWhite1"}) w.Leaf("scan:ColorMode", mode);
  w.Close();
  w.Open("scan:DocumentFormats");
  for (const std::string& format : OfferedFormats()) w.Leaf("pwg:DocumentFormat", format);
  w.Close();
  w.Open("scan:SupportedResolutions");
  w.Open("scan:DiscreteResolutions");
  for (UInt32 dpi : scanner.resolutions) {
    w.Open("scan:DiscreteResolution");
    w.Leaf("scan:XResolution", dpi);
    w.Leaf("scan:YResolution", dpi);
    w.Close();
  }
  w.Close();
  w.Close();
  w.Open("scan:ColorSpaces");
  w.Leaf("scan:ColorSpace", "sRGB");
  w.Close();
  w.Close();
  w.Close();
  w.Open("scan:SupportedIntents");
  for (const char* intent : {"Document", "TextAndGraphic", "Photo", "Preview"}) w.Leaf("scan:Intent", intent);
  w.Close();
  const UInt32 highest = scanner.resolutions.empty() ? 0 : scanner.resolutions.back();
  w.Leaf("scan:MaxOpticalXResolution", highest);
  w.Leaf("scan:MaxOpticalYResolution", highest);
  w.Close();
  w.Close();
  return w.Finish();
}

std::string StatusDocument(ScannerState state, const std::vector<JobStatus>& jobs) {
  Writer w("scan:ScannerStatus");
  w.Leaf("pwg:State", Text(state));
  w.Open("scan:Jobs");
  for (const JobStatus& job : jobs) {
    w.Open("scan:JobInfo");
    w.Leaf("pwg:JobUri", job.uri);
    w.Leaf("pwg:JobUuid", job.uuid);
    w.Leaf("scan:Age", job.ageSeconds);
    w.Leaf("pwg:ImagesCompleted", job.imagesCompleted);
    w.Leaf("pwg:ImagesToTransfer", job.imagesToTransfer);
    w.Leaf("pwg:JobState", Text(job.state));
    w.Open("pwg:JobStateReasons");
    w.Leaf("pwg:JobStateReason", Text(job.reason));
    w.Close();
    w.Close();
  }
  w.Close();
  return w.Finish();
}

std::string ImageInfoDocument(const std::string& jobUri, const std::string& jobUuid, UInt32 width, UInt32 height,
                              UInt32 bytesPerLine) {
  Writer w("scan:ScanImageInfo");
  w.Leaf("pwg:JobUri", jobUri);
  w.Leaf("pwg:JobUuid", jobUuid);
  w.Leaf("scan:ActualWidth", width);
  w.Leaf("scan:ActualHeight", height);
  w.Leaf("scan:ActualBytesPerLine", bytesPerLine);
  return w.Finish();
}

std::string IconFile() {
  const std::string dir = tarvell::ProgramDirectory();  // <prefix>/sbin
  for (const std::string& path : {dir.empty() ? "" : dir + "/../share/tarvell/" TARVELL_ESCL_ICON_NAME,
                                  std::string(TARVELL_ESCL_INSTALLED_ICON), std::string(TARVELL_ESCL_BUILD_ICON)})
    if (!path.empty() && access(path.c_str(), R_OK) == 0) return path;
  return "";
}

std::vector<std::string> AnnouncementText(const ScannerDescription& scanner) {
  std::string pdl;
  for (const std::string& format : OfferedFormats()) pdl += (pdl.empty() ? "" : ",") + format;
  std::vector<std::string> text = {"txtvers=1",
                                   "vers=" + std::string(kEsclVersion),
                                   "ty=" + scanner.makeAndModel,
                                   "pdl=" + pdl,
                                   "cs=color,grayscale,binary",
                                   "is=platen",
                                   "duplex=F",
                                   "rs=eSCL",
                                   "uuid=" + scanner.uuid};
  if (!scanner.iconUrl.empty()) text.push_back("representation=" + scanner.iconUrl);
  if (!scanner.adminUrl.empty()) text.push_back("adminurl=" + scanner.adminUrl);
  return text;
}

}  // namespace tarvell::escl
