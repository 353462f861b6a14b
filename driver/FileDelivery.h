// What scan start and the file callbacks share: the expected image size of a scan area and the
// extended notifications that tell the host a file object came or went.
#pragma once

#include "platform/ica/ICAHost.h"
#include "usb/CSimpleScanner.h"

// Bytes of image data an area yields: 1-bit rows of mainScanLen / 8 bytes, 8-bit grey rows of
// mainScanLen bytes, colour rows of 3 x mainScanLen. False for any other mode and depth.
bool ExpectedImageDataSize(const ScanningParamBlock& area, UInt64* size);

// Sends the host an extended notification about `object` with `eventClass` (kICAMessageDelete
// or kICAEventObjectAdded), carrying a fresh event-data cookie and the scanner's device object.
// Returns the first failing host call's status, or 0.
ICAError NotifyFileObject(const CSimpleScanner& scanner, ICAObject object, OSType eventClass);
