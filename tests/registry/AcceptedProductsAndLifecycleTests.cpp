// Accepted product IDs (built-in set, the "additionalProductIDs" user default, programmatic additions), the
// start-up entries in the user defaults and termination.
#include "Classes/ProgramSetup.h"
#include "RegistryTestSupport.h"
#include "platform/Bundle.h"

using namespace registrytest;

TEST_F(RegistryTest, OnlyTheBuiltInProductIsAcceptedByDefault) {
    plug("PL35:serial=P35,PL45:serial=P45,PL25D:serial=DUP");
    startRegistry();
    ASSERT_TRUE(waitForListed(1));
    pumpFor(300);
    ASSERT_EQ(registry->printers().size(), 1u);
    EXPECT_EQ(registry->printers().front()->idProductValue(), 0x0106);
    EXPECT_EQ(registry->acceptedProductIDs(), (ZVPrinters::IndexSet{0x0106}));
    EXPECT_EQ(simulated->bySerial("P35")->frameCount(), 0u);
}

TEST_F(RegistryTest, AdditionalProductIDsFromUserDefaultsExtendTheAcceptedSet) {
    defaults->setObject(ZVPrinters::kAdditionalProductIDsKey,
                        std::vector<std::string>{"0x5C01", "not-an-id", "0x1FFFF", "259"});
    plug("PL35:serial=P35,PL45:serial=P45,PL-MV1:serial=MV1");
    Log::shared().clear();
    startRegistry();
    ASSERT_TRUE(waitForListed(2));
    pumpFor(300);
    std::set<uint16_t> products;
    for (const auto& p : registry->printers()) products.insert(p->idProductValue());
    EXPECT_EQ(products, (std::set<uint16_t>{0x5C01, 0x0103}));
    EXPECT_EQ(registry->acceptedProductIDs(), (ZVPrinters::IndexSet{0x0103, 0x0106, 0x5C01}));
    // Unusable entries are named in the log and skipped.
    EXPECT_EQ(Log::shared().count("not-an-id"), 1u);
    EXPECT_EQ(Log::shared().count("0x1FFFF"), 1u);
    // The class's own set is not changed by the registry.
    EXPECT_EQ(ZVUSBPrinterOVN::supportedProductIDs(), (ZVUSBPrinter::IndexSet{0x0106}));
}

TEST_F(RegistryTest, AdditionalProductIDsMayBeASingleTextOrNumber) {
    defaults->setObject(ZVPrinters::kAdditionalProductIDsKey, std::string("0x5D01"));
    EXPECT_EQ(ZVPrinters::productIDsFromUserDefaults(), (ZVPrinters::IndexSet{0x5D01}));
    defaults->setObject(ZVPrinters::kAdditionalProductIDsKey, int64_t{0x5C01});
    EXPECT_EQ(ZVPrinters::productIDsFromUserDefaults(), (ZVPrinters::IndexSet{0x5C01}));
    defaults->setObject(ZVPrinters::kAdditionalProductIDsKey, int64_t{-3});
    EXPECT_TRUE(ZVPrinters::productIDsFromUserDefaults().empty());
    defaults->setObject(ZVPrinters::kAdditionalProductIDsKey, true);
    EXPECT_TRUE(ZVPrinters::productIDsFromUserDefaults().empty());
}

TEST_F(RegistryTest, ProgrammaticallyAddedProductIsAccepted) {
    plug("PL45:serial=P45,PL15:serial=P15");
    startRegistry([](ZVPrinters& r) { r.addAcceptedProductID(0x5D01); });
    ASSERT_TRUE(waitForListed(1));
    ASSERT_TRUE(waitForProbed());
    pumpFor(200);
    ASSERT_EQ(registry->printers().size(), 1u);
    auto printer = registry->printers().front();
    EXPECT_EQ(printer->idProductValue(), 0x5D01);
    EXPECT_EQ(printer->printerSerialNumber(), std::string("P45"));
    EXPECT_TRUE(registry->acceptsInterface(7, 1, 0x2A72, 0x5D01));
    EXPECT_FALSE(registry->acceptsInterface(7, 2, 0x2A71, 0x5D01));
    EXPECT_FALSE(registry->acceptsInterface(8, 1, 0x2A71, 0x5D01));
    EXPECT_FALSE(registry->acceptsInterface(7, 1, 0x2A73, 0x5D01));
    EXPECT_FALSE(registry->acceptsInterface(7, 1, 0x2A71, 0x0101));
}

TEST(ProductIDText, HexadecimalAndDecimalAreUnderstood) {
    using ovn::program::parseProductID;
    EXPECT_EQ(parseProductID("0x5C01"), std::optional<uint16_t>(0x5C01));
    EXPECT_EQ(parseProductID("0X5c01"), std::optional<uint16_t>(0x5C01));
    EXPECT_EQ(parseProductID(" 23553 "), std::optional<uint16_t>(23553));
    EXPECT_EQ(parseProductID("0xFFFF"), std::optional<uint16_t>(0xFFFF));
    EXPECT_EQ(parseProductID("0"), std::optional<uint16_t>(0));
    std::string error;
    for (const char* bad : {"", "0x", "0x10000", "65536", "5C01", "-1", "12abc", "0x5C01h", "99999999999999999999"}) {
        error.clear();
        EXPECT_EQ(parseProductID(bad, &error), std::nullopt) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
    EXPECT_NE(error.find("99999999999999999999"), std::string::npos) << "the reason names the text";

    auto all = ovn::program::parseProductIDs({"0x5C01", "259"}, &error);
    ASSERT_TRUE(all);
    EXPECT_EQ(*all, (std::set<uint16_t>{0x5C01, 0x0103}));
    EXPECT_FALSE(ovn::program::parseProductIDs({"0x5C01", "x"}, &error));
    EXPECT_NE(error.find("\"x\""), std::string::npos);
}

TEST(LayeredDefaults, OverridesAnswerFirstAndAreNeverWrittenThrough) {
    auto base = std::make_shared<ovn::MemoryUserDefaults>();
    base->setObject("kept", std::string("base"));
    ovn::program::LayeredUserDefaults layered(base, {{"installOlderFirmwareVersion", true}});
    EXPECT_TRUE(layered.boolForKey("installOlderFirmwareVersion"));
    EXPECT_FALSE(base->boolForKey("installOlderFirmwareVersion"));
    EXPECT_EQ(layered.stringForKey("kept"), std::optional<std::string>("base"));
    layered.setObject("other", std::string("x"));
    EXPECT_EQ(base->stringForKey("other"), std::optional<std::string>("x"));
    EXPECT_FALSE(base->objectForKey("installOlderFirmwareVersion").has_value());
}

TEST_F(RegistryTest, StartUpWritesTheVersionEntries) {
    onMain([&] {
        registry = ZVPrinters::create();
        registry->awakeFromNib();
        EXPECT_TRUE(registry->hasArrivalRegistration()) << "awakeFromNib starts discovery";
        EXPECT_FALSE(defaults->objectForKey(ZVPrinters::kShortVersionKey).has_value());
        registry->applicationDidFinishLaunching();
    });
    const std::string version = ovn::Bundle::shortVersionString();
    ASSERT_FALSE(version.empty());
    EXPECT_EQ(defaults->stringForKey(ZVPrinters::kDisplayVersionKey),
              std::optional<std::string>(version + " (build " + version + ")"));
    EXPECT_EQ(defaults->stringForKey(ZVPrinters::kShortVersionKey), std::optional<std::string>(version));
    EXPECT_EQ(Log::shared().count("display string is " + version), 1u);
}

TEST_F(RegistryTest, TerminationEmptiesTheListOnTheMainQueueAndEndsDiscovery) {
    plug("PL25D:serial=A,PL25D:serial=B");
    startRegistry();
    ASSERT_TRUE(waitForListed(2));
    ASSERT_TRUE(waitForProbed());
    pumpFor(50);
    std::vector<std::string> events;
    auto token = registry->observe(
        ZVPrinters::kPrintersKey,
        [&](const std::string&, const ovn::KeyValueChange& change) {
            events.push_back(std::string(change.isPrior ? "will:" : "did:") +
                             std::to_string(registry->printers().size()));
        },
        ovn::Observable::Prior);
    auto port = ZVPrinters::sharedNotificationPort();
    bool answer = false;
    onMain([&] {
        answer = registry->applicationShouldTerminate();
        // Queued, not done in place.
        EXPECT_EQ(registry->printers().size(), 2u);
    });
    EXPECT_TRUE(answer);
    ASSERT_TRUE(pumpUntil([&] { return registry->printers().empty(); }));
    EXPECT_EQ(events, (std::vector<std::string>{"will:2", "did:0"}));
    EXPECT_FALSE(registry->hasArrivalRegistration());
    EXPECT_FALSE(registry->hasRemovalRegistration());
    EXPECT_EQ(registry->selectedPrinter(), nullptr);
    EXPECT_NE(ZVPrinters::sharedNotificationPort(), port) << "the shared port was destroyed";

    // Printers arriving now are not seen; a second termination has nothing left to do.
    plug("PL25D:serial=LATE");
    pumpFor(200);
    EXPECT_TRUE(registry->printers().empty());
    onMain([&] { registry->prepareForTermination(); });
    pumpFor(20);
    EXPECT_EQ(events.size(), 2u);
    EXPECT_EQ(Log::shared().count("inside ZVPrinters::prepareForTermination"), 2u);
}

TEST_F(RegistryTest, DroppingTheRegistryWhileInsertionsAreQueuedIsHarmless) {
    plug("PL25D,PL25D");
    onMain([&] {
        auto shortLived = ZVPrinters::create();
        shortLived->getPrintingDevices();
        // Dropped in the same turn: its queued insertions find nothing.
    });
    pumpFor(300);
    EXPECT_EQ(Log::shared().count("about to call [super dealloc] in ZVPrinters::dealloc"), 1u);
}
