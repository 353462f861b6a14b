// Bytes as the device frames them, and the XML replies it sends, for tests of the framer, the
// scan job and the scanner object.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "element/Elements.h"
#include "platform/system/Types.h"
#include "usb/USBScanProtocol.h"
#include "xml/XMLVisitor.h"

namespace tarvell::testing {

using Bytes = std::vector<UInt8>;

// A packet: type, version, two reserved bytes, the payload length big-endian, the payload.
inline Bytes Packet(UInt8 type, const std::string& payload = "", UInt8 version = 0) {
  Bytes p;
  USBScanProtocol::AppendPacket(p, type, reinterpret_cast<const UInt8*>(payload.data()), payload.size(), version);
  return p;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

inline std::string Dump(XMLVisitor& visitor) {
  char* text = nullptr;
  unsigned int length = 0;
  visitor.createMemoryDump(&text, &length);
  std::string out(text, length);
  std::free(text);
  return out;
}

// A "response" reply whose result is the string `result`.
inline std::string Response(const std::string& result) {
  XMLVisitor visitor(MessageKind::response, 1);
  StringElem value(result);
  value.accept(&visitor);
  return Dump(visitor);
}

// A callMethod request with the arguments `args`, framed as the host sends it.
inline Bytes CallPacket(int requestID, const std::string& obj, const std::string& method, Element& args) {
  XMLVisitor visitor(MessageKind::callMethod, requestID, obj, method, "");
  args.accept(&visitor);
  return USBScanProtocol::prepControlDataToSend(Dump(visitor));
}

// An "exception" reply carrying `message`.
inline std::string ExceptionReply(const std::string& message) {
  XMLVisitor visitor(MessageKind::exception, 1);
  ObjectStoreException body(message);
  body.accept(&visitor);
  return Dump(visitor);
}

}  // namespace tarvell::testing
