#include "platform/printing/PrintSession.h"

#include <gtest/gtest.h>

namespace {

struct Key {
  explicit Key(const char* k) : ref(PMStringCreateWithCString(nullptr, k, kPMStringEncodingASCII)) {}
  ~Key() { PMRelease(ref); }
  PMStringRef ref;
};

TEST(Session, StoresDataByKeyAndReleasesItWithTheSession) {
  long before = tarvell::printing::LiveObjectCount();
  PMPrintSession session = nullptr;
  ASSERT_EQ(kPMNoError, PMCreateSession(&session));
  Key key(kPMPPDReference);
  PMTypeRef out = &out;
  EXPECT_EQ(kPMNoError, PMSessionGetDataFromSession(session, key.ref, &out));
  EXPECT_EQ(nullptr, out);  // no data is not an error
  UInt8 bytes[] = {1, 2, 3};
  PMDataRef data = PMDataCreate(nullptr, bytes, 3);
  EXPECT_EQ(kPMNoError, PMSessionSetDataInSession(session, key.ref, data));
  PMRelease(data);
  EXPECT_EQ(kPMNoError, PMSessionGetDataFromSession(session, key.ref, &out));
  EXPECT_EQ(3, PMDataGetLength(static_cast<PMDataRef>(out)));
  EXPECT_EQ(kPMInvalidPrintSession, PMSessionGetDataFromSession(nullptr, key.ref, &out));
  EXPECT_EQ(kPMInvalidParameter, PMSessionGetDataFromSession(session, key.ref, nullptr));

  tarvell::printing::FailSessionRequest(1, -1234);
  EXPECT_EQ(-1234, PMSessionGetDataFromSession(session, key.ref, &out));
  EXPECT_EQ(kPMNoError, PMSessionGetDataFromSession(session, key.ref, &out));
  PMSessionRelease(session);
  EXPECT_EQ(before + 1, tarvell::printing::LiveObjectCount());  // `key` alone
}

TEST(Tickets, CarryAPPDDictionary) {
  long tickets = tarvell::printing::LiveTicketCount();
  PMTicketRef ticket = 0;
  ASSERT_EQ(kPMNoError, PMTicketCreate(&ticket));
  EXPECT_NE(0u, ticket);
  PMMutableDictionaryRef dict = nullptr;
  EXPECT_EQ(kPMKeyNotFound, PMTicketGetPPDDict(ticket, &dict));
  EXPECT_EQ(nullptr, dict);
  PMMutableDictionaryRef made = PMDictionaryCreateMutable(nullptr);
  EXPECT_EQ(kPMNoError, PMTicketSetPPDDict(ticket, made));
  PMRelease(made);
  EXPECT_EQ(kPMNoError, PMTicketGetPPDDict(ticket, &dict));
  EXPECT_EQ(made, dict);
  EXPECT_EQ(kPMNoError, PMTicketRelease(ticket));
  EXPECT_EQ(kPMInvalidTicket, PMTicketGetPPDDict(ticket, &dict));
  EXPECT_EQ(kPMInvalidTicket, PMTicketRelease(ticket));
  EXPECT_EQ(tickets, tarvell::printing::LiveTicketCount());
}

}  // namespace
