// The print session a dialog hands its panels, with data stored by key, and the tickets
// (print settings, printer information) that carry a PPD dictionary: option keyword -> choice.
#pragma once

#include "platform/printing/PMTypes.h"

// Status codes of the printing system.
enum : OSStatus {
  kPMNoError = 0,
  kPMGeneralError = -30870,
  kPMInvalidTicket = -30875,
  kPMInvalidPrintSession = -30879,
  kPMInvalidParameter = paramErr,
  kPMKeyNotFound = -9589,
  kPMInvalidPDEContext = -9530,
  kPMOutOfScope = -30871,
};

// Session data keys.
#define kPDE_PMPrintSettingsRef "PMPrintSettingsTicket"
#define kPDE_PMPrinterInfoRef "PMPrinterInfoTicket"
#define kPMPPDReference "kPMPPDReference"

struct PMSession;
typedef PMSession* PMPrintSession;

// A ticket is known to the session data by its 32-bit reference number.
typedef UInt32 PMTicketRef;

OSStatus PMCreateSession(PMPrintSession* session);
// Frees the session and the data it holds.
OSStatus PMSessionRelease(PMPrintSession session);

// Stores (retains) `data` under `key`; a null `data` removes the key.
OSStatus PMSessionSetDataInSession(PMPrintSession session, PMStringRef key, PMTypeRef data);
// The data under `key`, not retained (null with kPMNoError when there is none).
OSStatus PMSessionGetDataFromSession(PMPrintSession session, PMStringRef key, PMTypeRef* data);

// Tickets: made and freed by the dialog; reference 0 is never a ticket.
OSStatus PMTicketCreate(PMTicketRef* ticket);
OSStatus PMTicketRelease(PMTicketRef ticket);
// The ticket's PPD dictionary (not retained; mutable in place). kPMKeyNotFound when it has none,
// kPMInvalidTicket for an unknown reference.
OSStatus PMTicketGetPPDDict(PMTicketRef ticket, PMMutableDictionaryRef* dict);
// Gives the ticket a PPD dictionary (retained); null removes it.
OSStatus PMTicketSetPPDDict(PMTicketRef ticket, PMMutableDictionaryRef dict);

namespace tarvell {
namespace printing {

// Fault injection: the `n`-th session data request from now on fails with `status`; 0 disarms.
void FailSessionRequest(int n, OSStatus status);
// Tickets not yet released, for leak checks in tests.
long LiveTicketCount();

}  // namespace printing
}  // namespace tarvell
