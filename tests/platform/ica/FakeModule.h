// A stand-in module for host tests: devices at fixed locations, opened the way the real module
// does it (location 0 searches and asks back through TEMP_NewUSBDevice).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/ica/ICAHost.h"
#include "platform/ica/ICAHostTesting.h"

struct FakeModule {
  std::vector<UInt32> devices;  // on the bus, in order
  std::set<UInt32> failing;     // refuse to open
  std::set<UInt32> open;
  std::vector<std::string> calls;  // callback names, in order
  bool forgetful = false;          // opens but never remembers: finds the same device forever

  static FakeModule*& Current() {
    static FakeModule* current = nullptr;
    return current;
  }

  static ICAError OpenDevice(UInt32 location, ScannerObjectInfo* info) {
    FakeModule& m = *Current();
    m.calls.push_back("open " + std::to_string(location));
    if (location == 0) {
      for (UInt32 d : m.devices)
        if (!m.open.count(d)) {
          TEMP_NewUSBDevice(d);
          break;
        }
      return fnfErr;
    }
    if (m.failing.count(location)) return paramErr;
    if (!m.forgetful) m.open.insert(location);
    info->objectType = kICADevice;
    info->uniqueID = location;
    info->privateData = &m;
    std::strcpy(info->name, "Fake Scanner");
    return noErr;
  }
  static ICAError CloseDevice(ScannerObjectInfo* info) {
    Current()->calls.push_back("close");
    Current()->open.erase(info->uniqueID);
    return noErr;
  }
  static ICAError Cleanup(ScannerObjectInfo*) {
    Current()->calls.push_back("cleanup");
    return noErr;
  }
  static ICAError OpenSession(const ScannerObjectInfo*, ICD_ScannerOpenSessionPB*) {
    Current()->calls.push_back("open session");
    return noErr;
  }
  static ICAError CloseSession(const ScannerObjectInfo*, ICD_ScannerCloseSessionPB*) {
    Current()->calls.push_back("close session");
    return noErr;
  }
  static ICAError GetParameters(const ScannerObjectInfo*, ICD_ScannerGetParametersPB* pb) {
    Current()->calls.push_back("get parameters");
    plist::DictionaryRef device = plist::MakeDictionary();
    device->Set("resolutionX", plist::MakeInteger(600));
    pb->theDict->Set("device", device);
    return noErr;
  }
  static ICAError SetParameters(const ScannerObjectInfo*, ICD_ScannerSetParametersPB* pb) {
    Current()->calls.push_back(pb->theDict && pb->theDict->Has("userScanArea") ? "set areas" : "set nothing");
    return noErr;
  }

  static ICAError Start(const ScannerObjectInfo* device, ICD_ScannerStartPB*) {
    Current()->calls.push_back("start");
    ICAObject file = 0;
    return ICDScannerNewObjectInfoCreated(device, 0, &file);
  }
  static ICAError DescribeFile(const ScannerObjectInfo*, UInt32 index, ScannerObjectInfo* info) {
    Current()->calls.push_back("describe " + std::to_string(index));
    info->objectType = kICAFile;
    info->dataSize = 4;
    return noErr;
  }
  static ICAError ReadFile(const ScannerObjectInfo* info, OSType type, void* buffer, UInt32 offset, UInt32* length) {
    Current()->calls.push_back("read " + std::to_string(offset));
    if (info->objectType != kICAFile || type != kICAFile || offset + *length > 4) return paramErr;
    std::memcpy(buffer, "TIFF" + offset, *length);
    return noErr;
  }
  static ICAError SendMessage(const ScannerObjectInfo*, ICD_ScannerObjectSendMessagePB* pb, ICDCompletion) {
    Current()->calls.push_back(pb->message.messageType == kICAMessageDelete ? "delete" : "message");
    return noErr;
  }

  void Install() {
    gICDScannerCallbackFunctions.scannerStart = Start;
    gICDScannerCallbackFunctions.scannerGetObjectInfo = DescribeFile;
    gICDScannerCallbackFunctions.scannerReadFileData = ReadFile;
    gICDScannerCallbackFunctions.scannerSendMessage = SendMessage;
    Current() = this;
    ICD_ScannerCallbackFunctions& t = gICDScannerCallbackFunctions;
    t.scannerOpenDevice = OpenDevice;
    t.scannerCloseDevice = CloseDevice;
    t.scannerCleanup = Cleanup;
    t.scannerOpenSession = OpenSession;
    t.scannerCloseSession = CloseSession;
    t.scannerGetParameters = GetParameters;
    t.scannerSetParameters = SetParameters;
  }
};

// A test with the fake module in the host's callback table, and a clean host around it.
class FakeModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvell::ica::ResetHost();
    saved_ = gICDScannerCallbackFunctions;
    module_.Install();
  }
  void TearDown() override {
    gICDScannerCallbackFunctions = saved_;
    tarvell::ica::ResetHost();
  }
  ICD_ScannerCallbackFunctions saved_;
  FakeModule module_;
};
