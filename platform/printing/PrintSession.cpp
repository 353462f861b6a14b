#include "platform/printing/PrintSession.h"

#include <map>
#include <mutex>
#include <string>

struct PMSession {
  std::map<std::string, PMTypeRef> data;
};

namespace {

struct Ticket {
  PMMutableDictionaryRef ppdDict = nullptr;
};

std::mutex gMutex;
std::map<PMTicketRef, Ticket> gTickets;
PMTicketRef gNextTicket = 1;
int gFailCountdown = 0;
OSStatus gFailStatus = kPMNoError;

bool SessionRequestFails(OSStatus* status) {
  if (gFailCountdown > 0 && --gFailCountdown == 0) {
    *status = gFailStatus;
    return true;
  }
  return false;
}

}  // namespace

OSStatus PMCreateSession(PMPrintSession* session) {
  if (!session) return kPMInvalidParameter;
  *session = new PMSession;
  return kPMNoError;
}

OSStatus PMSessionRelease(PMPrintSession session) {
  if (!session) return kPMInvalidPrintSession;
  for (auto& kv : session->data) PMRelease(kv.second);
  delete session;
  return kPMNoError;
}

OSStatus PMSessionSetDataInSession(PMPrintSession session, PMStringRef key, PMTypeRef data) {
  if (!session) return kPMInvalidPrintSession;
  if (!key) return kPMInvalidParameter;
  std::string k = PMStringGetCStringPtr(key);
  auto it = session->data.find(k);
  if (it != session->data.end()) {
    PMRelease(it->second);
    session->data.erase(it);
  }
  if (data) session->data[k] = PMRetain(data);
  return kPMNoError;
}

OSStatus PMSessionGetDataFromSession(PMPrintSession session, PMStringRef key, PMTypeRef* data) {
  if (!session) return kPMInvalidPrintSession;
  if (!key || !data) return kPMInvalidParameter;
  *data = nullptr;
  OSStatus status;
  if (SessionRequestFails(&status)) return status;
  auto it = session->data.find(PMStringGetCStringPtr(key));
  if (it != session->data.end()) *data = it->second;
  return kPMNoError;
}

OSStatus PMTicketCreate(PMTicketRef* ticket) {
  if (!ticket) return kPMInvalidParameter;
  std::lock_guard<std::mutex> lock(gMutex);
  *ticket = gNextTicket++;
  gTickets[*ticket] = Ticket{};
  return kPMNoError;
}

OSStatus PMTicketRelease(PMTicketRef ticket) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gTickets.find(ticket);
  if (it == gTickets.end()) return kPMInvalidTicket;
  PMRelease(it->second.ppdDict);
  gTickets.erase(it);
  return kPMNoError;
}

OSStatus PMTicketGetPPDDict(PMTicketRef ticket, PMMutableDictionaryRef* dict) {
  if (!dict) return kPMInvalidParameter;
  *dict = nullptr;
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gTickets.find(ticket);
  if (it == gTickets.end()) return kPMInvalidTicket;
  if (!it->second.ppdDict) return kPMKeyNotFound;
  *dict = it->second.ppdDict;
  return kPMNoError;
}

OSStatus PMTicketSetPPDDict(PMTicketRef ticket, PMMutableDictionaryRef dict) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gTickets.find(ticket);
  if (it == gTickets.end()) return kPMInvalidTicket;
  if (dict) PMRetain(dict);
  PMRelease(it->second.ppdDict);
  it->second.ppdDict = dict;
  return kPMNoError;
}

namespace tarvell {
namespace printing {

void FailSessionRequest(int n, OSStatus status) {
  gFailCountdown = n < 0 ? 0 : n;
  gFailStatus = status;
}

long LiveTicketCount() {
  std::lock_guard<std::mutex> lock(gMutex);
  return long(gTickets.size());
}

}  // namespace printing
}  // namespace tarvell
