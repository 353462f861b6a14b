// The scan job: the conversation of one scan (five XML method calls and the image stream
// between the third and the fourth) that CSimpleScanner::MyScanToBuffer runs, and the packet
// callbacks through which the framer hands it replies and image data.
#pragma once

#include <memory>
#include <string>

#include "platform/system/Types.h"
#include "usb/CSimpleScanner.h"

class MapElem;

// The result text of the latest "response" reply; after "create" it names the device's job
// object. Survives the job and is where the next one starts. Empty at program start.
extern std::string glJobName;
// 0 while the running job's data phase still expects image data, 1 once it is over.
extern SInt32 endJobPage;

// Packet callbacks of the job's framer; `info` is the CSimpleScanner.
void _MY_ImageBeginJob(void* info);
void _MY_ImageBeginJobPage(void* info);
// Parses one XML reply; a "response" sets glJobName to its result. Never throws.
void _MY_ControlData(const UInt8* bytes, SInt32 length, void* info);
// Appends the image bytes to the scanner's m_scanData, or hands them to its sink.
void _MY_ImageData(const UInt8* bytes, SInt32 length, void* info);
void _MY_ImageEndJobPage(void* info);
void _MY_ImageEndJob(void* info);

namespace tarvell {

// Reads of the image pipe in a row that may fail or bring no bytes before the data phase ends.
// Before any image data the job then gives up waiting (sends "done" and "exitHostUSBSendMode"
// and returns no image): with the 15 s no-data time-out a silent device gets a minute and a
// half. After image data the first failed read ends the phase anyway; the bound only stops a
// device that answers every read with an empty transfer.
constexpr int kScanJobIdleReadLimit = 6;

// Whether the data phase also ends as soon as the end-of-job packet has arrived after image
// data. Off by default: the phase then ends only at the first failed read after image data,
// which on the device is its 15 s no-data time-out after the last byte. The hosts set it from
// their configuration; it holds for every job until changed.
void SetScanJobEndsAtJobEnd(bool on);
bool ScanJobEndsAtJobEnd();

// Sizes of the job's read buffers.
constexpr UInt32 kScanJobReplyBufferSize = 512;
constexpr UInt32 kScanJobDataBufferSize = 102400;

// The window the job asks the device for: the resolution it sends and the corners in pixels at
// that resolution ([left, right) x [top, bottom)).
struct DeviceWindow {
  int resolution = 0;
  int left = 0, top = 0, right = 0, bottom = 0;
};
// mainScanRes must not be 0.
DeviceWindow DeviceWindowFor(const ScanningParamBlock& params);
// The image the device sends back for `params`: the window, clipped to the glass. 0 x 0 when
// nothing would be scanned.
void DeliveredImageSize(const ScanningParamBlock& params, UInt32* width, UInt32* height);

// The parameter map the job sends for `params` ("documentParameters", "scanParameters",
// "usbParameters"), logging the chosen resolution as the job does. Throws the element family's
// exceptions only when memory runs out. mainScanRes must not be 0.
std::unique_ptr<MapElem> BuildScanParameterMap(const ScanningParamBlock& params);

}  // namespace tarvell
