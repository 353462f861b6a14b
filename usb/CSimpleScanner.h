// The object for one attached scanner: its USB interface, its three bulk pipes, blocking
// transfers with fixed time-outs, the current scan settings, and what the host interface keeps
// per device (scan areas, last TIFF, host object references).
#pragma once

#include <memory>
#include <vector>

#include "imaging/ImageConversion.h"
#include "platform/system/FaultInjection.h"
#include "platform/system/Types.h"
#include "platform/usb/USB.h"

// The scan-settings record, passed by value.
struct ScanningParamBlock {
  UInt32 mainScanRes;     // dots per inch across the scan line; unit of the main-scan fields
  UInt32 subScanRes;      // dots per inch along the paper path
  UInt32 offsetMainScan;  // left edge, pixels
  UInt32 offsetSubScan;   // top edge, pixels
  UInt32 mainScanLen;     // width, pixels
  UInt32 subScanLen;      // height, pixels
  UInt8 colorMode;        // 0 grey or black-and-white, else colour
  UInt8 dataFormat;       // bits per sample: 1 line art, 8 eight-bit, 24 colour
  UInt16 mainScanScale;   // percent
  UInt16 subScanScale;    // percent
};

// Image bytes collected by a scan job.
typedef std::vector<UInt8> ScanData;

// Takes a scan job's image stream piece by piece as it crosses the wire, on the thread that runs
// the job, instead of the job collecting it.
class ScanDataSink {
 public:
  virtual ~ScanDataSink() = default;
  virtual void Take(const UInt8* bytes, size_t count) = 0;
};

class CSimpleScanner {
 public:
  // Time-outs of every bulk transfer.
  static constexpr UInt32 kNoDataTimeoutMs = 15000;
  static constexpr UInt32 kCompletionTimeoutMs = 60000;
  static constexpr UInt32 kSmallBufferSize = 256;
  static constexpr UInt32 kBigBufferSize = 131072;

  // Opens the device at `locationID` on the active bus; m_opened tells whether it worked.
  explicit CSimpleScanner(UInt32 locationID);
  virtual ~CSimpleScanner();
  CSimpleScanner(const CSimpleScanner&) = delete;
  CSimpleScanner& operator=(const CSimpleScanner&) = delete;

  // Finds and opens the first interface service that can be opened. 0, or -1 with m_inf null.
  int OpenMyDevice();
  // Opens `service`'s interface, selects alternate setting 1 when the default one has no
  // endpoints, and assigns the pipes; on any failure m_inf stays null.
  void DealWithInterface(tarvell::usb::Service& service);
  // Assigns m_bpi, m_bpo and m_ipi from the pipes 1..m_numEndpoints.
  void DealWithPipes();

  // One bulk write on m_bpo / read on m_bpi / read on m_ipi. For the reads *size is the
  // capacity on entry and the bytes received on return. The bus status is returned unchanged.
  IOReturn WritePipeWithBuffer(const void* buffer, UInt32 size);
  IOReturn ReadControlPipeToBuffer(void* buffer, UInt32* size);
  IOReturn ReadDataPipeToBuffer(void* buffer, UInt32* size);

  // Clears a halt on both ends of pipe `pipeRef` (device request first, then the host side).
  IOReturn ClearEndpointStall(UInt8 pipeRef);
  // ClearEndpointStall on m_bpi then m_bpo, when an interface is open; results ignored.
  void ClearEndpoints();
  // ClearEndpoints, then closes and releases the interface.
  void ClosePipes();
  // Aborts then resets m_bpo, m_bpi and (when found) m_ipi.
  void AbortAndResetPipes();

  // Fills a thumbnail record from the device's icon (body lives with the host layer).
  IOReturn GetVolumeThumbnail(void* thumbnail, UInt32* size);
  // Resets the first eight fields of m_params (dataFormat 24). Always 0.
  OSErr InitializeScanner();
  // Rebuilds m_resolutions: 75, 150, 200, 300, 400, 600. Always 0.
  SInt32 GetResolutions();
  // Always -9900.
  OSErr GetStatus();
  // Always 0: no button pressed.
  UInt32 PushButtonStatus();
  // Copies m_params out / takes the first eight fields in. Always 0.
  OSErr GetScanningParameters(ScanningParamBlock* params);
  OSErr SetScanningParameters(const ScanningParamBlock* params);

  // Runs one scan job. 0 with *imageData = the collected bytes (null when none arrived), or
  // 0xE00002C0 when the device went away (then *imageData is untouched).
  IOReturn MyScanToBuffer(std::unique_ptr<ScanData>* imageData);
  // Runs the same job, handing the image stream to `sink` as it arrives. 0 (*gotData tells
  // whether any image data came), or 0xE00002C0 when the device went away.
  IOReturn MyScanToSink(ScanDataSink* sink, bool* gotData);
  // Appends image bytes to m_scanData, creating it first when null. Negative counts add nothing.
  void AddScanData(const void* bytes, SInt32 count);
  // Whether the running job has had image data, collected or handed to a sink.
  bool HasScanData() const { return m_scanData != nullptr || m_sinkHadData; }

  // Fields, in declaration order.
  UInt8 m_bpo;
  UInt8 m_bpi;
  UInt8 m_ipi;
  UInt8 m_numEndpoints;
  UInt32 m_bulkMaxPacketSize;
  UInt32 m_ipiMaxPacketSize;
  std::unique_ptr<UInt8[]> m_smSendBuf;  // kSmallBufferSize bytes once opened
  std::unique_ptr<UInt8[]> m_smRecBuf;   // kSmallBufferSize bytes once opened
  std::unique_ptr<UInt8[]> m_bgRecBuf;   // kBigBufferSize bytes once opened
  std::unique_ptr<ScanData> m_scanData;
  UInt16 m_vendorID;
  UInt16 m_productID;
  char m_name[128];
  UInt32 m_locationID;
  std::unique_ptr<tarvell::usb::USBInterface> m_inf;
  std::unique_ptr<std::vector<SInt16>> m_resolutions;
  UInt16 m_maxMainScanLen;
  UInt16 m_maxSubScanLen;
  SInt32 m_scanAreaCount;
  std::unique_ptr<ScanningParamBlock[]> m_scanAreas;  // m_scanAreaCount records
  ScanningParamBlock m_params;
  UInt32 m_deviceObject;  // host object reference of the device
  UInt32 m_fileObject;    // host object reference of the last file, 0 when none
  UInt32 m_tiffSize;
  UInt32 m_imageWidth;
  UInt32 m_imageHeight;
  TIFFBlock m_tiffData;  // m_tiffSize bytes, the conversion's own block
  UInt32 m_resolutionX;
  UInt32 m_resolutionY;
  bool m_opened;
  ScanDataSink* m_scanDataSink = nullptr;  // set while MyScanToSink runs (not owned)
  bool m_sinkHadData = false;
};

namespace tarvell {
// Test hooks.
enum class ScannerCall { kAllocateBuffer };
}  // namespace tarvell

namespace tarvell::testing {
// A scanner's transfer-buffer allocation fails.
void FailNext(ScannerCall call, int n, Fails how = Fails::kOnce);
}  // namespace tarvell::testing
