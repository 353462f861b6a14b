// The factory, the interface objects and the panel's lifecycle, as a dialog sees them.
#include <gtest/gtest.h>

#include "platform/printing/PDEInterface.h"
#include "platform/toolbox/Toolbox.h"
#include "tests/pde/PanelFixture.h"

using namespace tarvell::testing;
using tarvell::dialog::PlugInHost;

namespace {

const char kFactoryID[] = "5C1E7A93-2D48-4F06-9B3A-E1D07C64A2F5";

struct UUID {
  explicit UUID(const char* text) : ref(PMUUIDCreateFromString(nullptr, text)) {}
  ~UUID() { PMRelease(ref); }
  PMUUIDRef ref;
};

long Instances() {
  UUID id(kFactoryID);
  return PMPlugInInstanceCountForFactory(id.ref);
}

class FactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    host_ = PlugInHost::Load(FINISHING_BUNDLE, &error);
    ASSERT_TRUE(host_) << error;
  }
  std::unique_ptr<PlugInHost> host_;
};

TEST_F(FactoryTest, TheBundleDeclaresOneFactoryForTheDialogExtensionType) {
  UUID type(kPDEPlugInTypeUUIDString);
  PMArrayRef factories = PMPlugInFindFactoriesForPlugInType(type.ref);
  ASSERT_EQ(1, PMArrayGetCount(factories));
  EXPECT_EQ(kFactoryID, PMUUIDToString(static_cast<PMUUIDRef>(PMArrayGetValueAtIndex(factories, 0))));
  PMRelease(factories);
  EXPECT_EQ(1, Instances());  // the host's instance
}

TEST_F(FactoryTest, AnyOtherTypeGetsNoInstanceAndRegistersNothing) {
  UUID factory(kFactoryID);
  UUID other("BDB091F4-E57F-11D3-B5CC-0050E4603278");
  std::string error;
  EXPECT_EQ(nullptr, PMPlugInInstanceCreate(nullptr, factory.ref, other.ref, &error));
  EXPECT_EQ(1, Instances());
}

TEST_F(FactoryTest, QueryInterfaceForTheBaseIdentifierHandsOutTheSameInstance) {
  IUnknownVTbl** instance = host_->instance();
  UUID base(kIUnknownUUIDString);
  void* out = nullptr;
  EXPECT_EQ(S_OK, (*instance)->QueryInterface(instance, PMUUIDGetUUIDBytes(base.ref), &out));
  EXPECT_EQ(static_cast<void*>(instance), out);
  EXPECT_EQ(3u, (*instance)->AddRef(instance));  // 1 + the query + this one
  EXPECT_EQ(2u, (*instance)->Release(instance));
  EXPECT_EQ(1u, (*instance)->Release(instance));
}

TEST_F(FactoryTest, QueryInterfaceForAnUnknownIdentifierHandsOutNothing) {
  IUnknownVTbl** instance = host_->instance();
  UUID unknown("00000000-0000-0000-C000-000000000047");
  void* out = &out;
  EXPECT_EQ(E_NOINTERFACE, (*instance)->QueryInterface(instance, PMUUIDGetUUIDBytes(unknown.ref), &out));
  EXPECT_EQ(nullptr, out);
}

TEST_F(FactoryTest, EachDialogExtensionQueryMakesANewObjectReleasedOnItsLastRelease) {
  PMPDEInterface* a = host_->NewInterface();
  PMPDEInterface* b = host_->NewInterface();
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  EXPECT_EQ(3, Instances());  // live interface objects keep the code loaded too

  PMPlugInAPIVersion version{};
  auto header = reinterpret_cast<PMPlugInHeaderInterface*>(a);
  EXPECT_EQ(noErr, a->vtable->plugInHeader.GetAPIVersion(header, &version));
  EXPECT_EQ(1u, version.buildVersionMajor);
  EXPECT_EQ(0u, version.buildVersionMinor);
  EXPECT_EQ(1u, version.baseVersionMajor);
  EXPECT_EQ(0u, version.baseVersionMinor);

  EXPECT_EQ(noErr, a->vtable->plugInHeader.Retain(header));
  PMPlugInHeaderInterface* p = header;
  EXPECT_EQ(noErr, a->vtable->plugInHeader.Release(&p));
  EXPECT_EQ(nullptr, p);
  EXPECT_EQ(3, Instances());  // count 2 -> 1: still alive
  p = header;
  EXPECT_EQ(noErr, a->vtable->plugInHeader.Release(&p));
  EXPECT_EQ(nullptr, p);
  EXPECT_EQ(2, Instances());
  auto headerB = reinterpret_cast<PMPlugInHeaderInterface*>(b);
  b->vtable->plugInHeader.Release(&headerB);
  EXPECT_EQ(1, Instances());
}

TEST(FactoryLifetime, EverythingHandedOutIsGivenBackAfterAWholeDialog) {
  long objects = tarvell::printing::LiveObjectCount();
  long controls = tarvell::toolbox::LiveControlCount();
  long menus = tarvell::toolbox::LiveMenuCount();
  long tickets = tarvell::printing::LiveTicketCount();
  {
    Dialog d(DataPath("oce-op3073.ppd"));
    ASSERT_EQ(noErr, d.Show());
    ASSERT_TRUE(d.panel->Choose("StapleWhen", "EndOfSet", nullptr));
    std::vector<std::pair<std::string, std::string>> lines;
    EXPECT_EQ(noErr, d.panel->GetSummary(&lines));
    EXPECT_EQ(noErr, d.panel->Sync(false));
    EXPECT_EQ(noErr, d.panel->Close());
    EXPECT_EQ(noErr, d.panel->Terminate());
    EXPECT_EQ(2, Instances());  // the host's factory instance and the session's interface
  }
  EXPECT_EQ(0, Instances());
  EXPECT_EQ(0, tarvell::printing::OpenResourceMapCount());
  EXPECT_EQ(objects, tarvell::printing::LiveObjectCount());
  EXPECT_EQ(controls, tarvell::toolbox::LiveControlCount());
  EXPECT_EQ(menus, tarvell::toolbox::LiveMenuCount());
  EXPECT_EQ(tickets, tarvell::printing::LiveTicketCount());
}

TEST(Prologue, HandsOutTheContextTitleKindCreatorAndSize) {
  Dialog d(DataPath("oce-op3073.ppd"));
  ResFileRefNum before = CurResFile();
  ASSERT_EQ(noErr, d.panel->Prologue());
  EXPECT_NE(nullptr, d.panel->context());
  EXPECT_EQ("Finishing", d.panel->title());
  EXPECT_EQ("org.tarvell.print.pde.FinishingKind", d.panel->userOptionKind());
  EXPECT_EQ(FourCC("pde "), d.panel->creator());
  EXPECT_EQ(150u, d.panel->maxWidth());
  EXPECT_EQ(120u, d.panel->maxHeight());
  EXPECT_EQ(1, tarvell::printing::OpenResourceMapCount());
  EXPECT_EQ(before, CurResFile());  // the panel's map is current only inside its operations
  EXPECT_EQ(noErr, d.panel->Terminate());
  EXPECT_EQ(0, tarvell::printing::OpenResourceMapCount());
}

TEST(Prologue, TheTitleComesFromThePreferredLanguage) {
  PMBundleSetPreferredLanguages({"de"});
  Dialog d(DataPath("oce-op3073.ppd"));
  ASSERT_EQ(noErr, d.panel->Prologue());
  EXPECT_EQ("Endverarbeitung", d.panel->title());
  PMBundleSetPreferredLanguages({"en"});
}

TEST(Prologue, FailsWithoutAResourceMapOrMemory) {
  CustomBundle noResources({"StapleWhen"}, false);
  {
    Dialog d(DataPath("oce-op3073.ppd"), noResources.path());
    EXPECT_EQ(kPMInvalidPDEContext, d.panel->Prologue());
    EXPECT_EQ(nullptr, d.panel->context());
  }
  Dialog d(DataPath("oce-op3073.ppd"));
  tarvell::testing::FailNext(tarvell::printing::Call::kAllocate, 1);
  EXPECT_EQ(kPMInvalidPDEContext, d.panel->Prologue());
  tarvell::testing::FailNext(tarvell::printing::Call::kAllocate, 0);
  EXPECT_EQ(nullptr, d.panel->context());
  EXPECT_EQ(0, tarvell::printing::OpenResourceMapCount());
}

TEST(PanelOperations, RefuseAMissingContextOrSession) {
  std::string error;
  auto host = PlugInHost::Load(FINISHING_BUNDLE, &error);
  ASSERT_TRUE(host);
  PMPDEInterface* intf = host->NewInterface();
  const PlugInIntfVTable* t = intf->vtable;
  PMPDEFlags flags;
  PMArrayRef titles = nullptr, summaries = nullptr;
  PMPrintSession session = nullptr;
  PMCreateSession(&session);
  EXPECT_EQ(kPMInvalidPDEContext, t->Prologue(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(kPMInvalidPDEContext, t->Initialize(nullptr, &flags, nullptr, nullptr, session));
  EXPECT_EQ(kPMInvalidPrintSession, t->Sync(nullptr, session, true));
  EXPECT_EQ(kPMInvalidPDEContext, t->GetSummaryText(nullptr, &titles, &summaries));
  EXPECT_EQ(kPMInvalidPDEContext, t->Open(nullptr));
  EXPECT_EQ(kPMInvalidPDEContext, t->Close(nullptr));
  EXPECT_EQ(kPMInvalidPDEContext, t->Terminate(nullptr, noErr));

  PMPDEContext context = nullptr;
  ASSERT_EQ(noErr, t->Prologue(&context, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(kPMInvalidPDEContext, t->Initialize(context, &flags, nullptr, nullptr, nullptr));
  EXPECT_EQ(kPMInvalidPrintSession, t->Sync(context, nullptr, false));
  EXPECT_EQ(noErr, t->Terminate(context, noErr));
  PMSessionRelease(session);
  auto header = reinterpret_cast<PMPlugInHeaderInterface*>(intf);
  t->plugInHeader.Release(&header);
}

TEST(Initialize, APrinterWithNoListedFinishingOptionShowsNoPanel) {
  Dialog d(DataPath("pxlmono.ppd"));
  ASSERT_EQ(noErr, d.panel->Prologue());
  EXPECT_EQ(kPMInvalidPDEContext, d.panel->Initialize());
  EXPECT_EQ(0, CountSubControls(d.panel->pane()));
  EXPECT_TRUE(d.panel->Controls().empty());
}

TEST(Initialize, WithoutPrinterInformationItMakesNoControlButStillSyncs) {
  Dialog d(DataPath("oce-op3073.ppd"));
  PMStringRef key = PMStringCreateWithCString(nullptr, "PMPrinterInfoTicket", kPMStringEncodingASCII);
  PMSessionSetDataInSession(d.panel->session(), key, nullptr);
  ASSERT_EQ(noErr, d.panel->Prologue());
  EXPECT_EQ(noErr, d.panel->Initialize());
  EXPECT_EQ(0, CountSubControls(d.panel->pane()));
  // The sync passes run and report a missing settings ticket.
  PMStringRef settings = PMStringCreateWithCString(nullptr, "PMPrintSettingsTicket", kPMStringEncodingASCII);
  PMSessionSetDataInSession(d.panel->session(), settings, nullptr);
  EXPECT_EQ(kPMInvalidTicket, d.panel->Initialize());
  PMRelease(key);
  PMRelease(settings);
}

TEST(Initialize, ATicketWithoutPPDDictionaryCountsAsSuccess) {
  Dialog d(DataPath("oce-op3073.ppd"));
  PMTicketSetPPDDict(d.panel->settingsTicket(), nullptr);
  ASSERT_EQ(noErr, d.panel->Prologue());
  EXPECT_EQ(noErr, d.panel->Initialize());
  EXPECT_EQ(kPMKeyNotFound, d.panel->Sync(true));
  EXPECT_EQ(4u, d.panel->Controls().size());
}

}  // namespace
