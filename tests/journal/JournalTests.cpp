// The update journal seen from outside: an emulated printer on the virtual bus, found by the registry, with the
// journal in a folder of the test's own. A program that ended mid-update is simulated by dropping what the
// process kept in memory (the registry and the saved device information) and starting a new registry and a
// new journal over the same folder, with the printer in the state it would be in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/UpdateHistory.h"
#include "Classes/UpdateJournal.h"
#include "Classes/ZVPrinters.h"
#include "kit/Kit.h"
#include "platform/Alerts.h"
#include "platform/Bundle.h"
#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"
#include "sim/OvnPrinterEmulator.h"
#include "support/QELMOR_Log.h"
#include "usb/VirtualUSBBus.h"

namespace fs = std::filesystem;
using namespace ovn::update;
using ovn::sim::DeviceCommand;

namespace {

constexpr char kSerial[] = "J15000042";
constexpr uint32_t kLocation = 0x14300000;
constexpr char kFrom[] = "PL15 01.50";
constexpr char kTo[] = "PL15 01.61";
constexpr char kSuccess[] = "Firmware update was successful!";
constexpr char kProblem[] = "There was a problem with the firmware update!";

using kit::onMain;
bool pumpUntil(const std::function<bool()>& done, int ms = 10000) { return kit::pumpUntil(done, kit::waitLimitMs(ms)); }

// Answers by title; the first button otherwise.
struct Presenter : kit::Presenter {
    std::map<std::string, long> answers;
    Presenter() {
        setPolicy([this](const ovn::AlertRequest& request) -> std::optional<long> {
            auto it = answers.find(request.title);
            return it == answers.end() ? std::optional<long>(ovn::kAlertFirstButtonReturn) : it->second;
        });
    }
};

class Journal : public ::testing::Test {
public:
    void SetUp() override { begin(); }
    void TearDown() override { end(); }
    // One case of a table: a fresh folder, data and presenter; end() leaves nothing behind.
    void begin() {
        static auto bus = [] {
            ovn::SystemLog::setUseSyslog(false);
            QELMOR_Log::setShouldLogToStdErr(false);
            auto b = ovn::usb::VirtualUSBBus::create();
            b->setTimeoutScale(0.01);
            b->setHostReEnumerateDelay(20);
            ovn::usb::USBServices::setShared(b);
            return b;
        }();
        bus_ = bus;
        char pattern[] = "/tmp/ovn-journal-XXXXXX";
        root = mkdtemp(pattern);
        static const std::string delivered = ovn::Bundle::resourceDirectory();
        fs::copy(delivered, root / "res", fs::copy_options::recursive);
        ovn::Bundle::setResourceDirectory((root / "res").string());
        folder = root / "state";
        presenter = std::make_shared<Presenter>();
        ovn::AlertPresenter::setShared(presenter);
    }
    void end() {
        stop();
        if (emulator) {
            emulator->powerLoss();
            for (uint64_t id : bus_->devices()) bus_->unplug(id);
        }
        ovn::MainRunLoop::runFor(std::chrono::milliseconds(20));
        emulator.reset();
        fs::remove_all(root);
    }
    void next(const void* item, const void* first) {
        if (item == first) return;
        end();
        begin();
    }

    void plug(const std::string& firmware, const std::string& status = "00000") {
        ovn::sim::EmulatorConfig config;
        config.model = ovn::sim::PrinterModel::PL15;
        config.serial = kSerial;
        config.locationId = kLocation;
        config.firmwareVersion = firmware;
        config.rawStatus = status;
        config.restartDelayMs = 20;
        emulator = ovn::sim::OvnPrinterEmulator::create(config);
        bus_->plug(emulator->description(), emulator);
    }
    // A program starts: a journal over the folder, a registry, the printers found.
    void start() {
        UpdateJournal::setShared(std::make_shared<UpdateJournal>(folder));
        onMain([&] {
            registry = ZVPrinters::create();
            registry->addAcceptedProductID(0x0101);
            registry->getPrintingDevices();
        });
    }
    // The program ends without a word: nothing it kept in memory survives.
    void stop() {
        if (registry) onMain([&] { registry->prepareForTermination(); registry.reset(); });
        ZVPrinters::destroySharedNotificationPort();
        ovn::MainRunLoop::runFor(std::chrono::milliseconds(50));
        char key[32];
        std::snprintf(key, sizeof key, "%.4X%.4X%.8X", 0x2A71u, 0x0101u, kLocation);
        ZVUSBPrinter::deviceInfoForKey(key)->clear();
        UpdateJournal::setShared(nullptr);
    }
    std::shared_ptr<ZVUSBPrinterOVN> printer() {
        ZVPrinters::PrinterPtr found;
        pumpUntil([&] {
            auto list = registry->printers();
            found = list.empty() ? nullptr : list.front();
            return found && found->firmwareVersion() && found->printerSerialNumber();
        });
        return found;
    }
    size_t frames(DeviceCommand command) const {
        size_t n = 0;
        for (const auto& f : emulator->frames()) n += f.command == command;
        return n;
    }
    JournalRecord record(int64_t phase) const {
        JournalRecord r;
        r.productID = 0x0101;
        r.model = "OVN PL15";
        r.serial = kSerial;
        r.usbLocation = "0x14300000";
        r.phase = phase;
        r.from = kFrom;
        r.to = kTo;
        return r;
    }
    std::vector<std::string> results() const {
        std::vector<std::string> out;
        for (const auto& e : readUpdateHistory(folder / "history.jsonl")) out.push_back(e.result);
        return out;
    }

    std::shared_ptr<ovn::usb::VirtualUSBBus> bus_;
    fs::path root, folder;
    std::shared_ptr<Presenter> presenter;
    std::shared_ptr<ZVPrinters> registry;
    std::shared_ptr<ovn::sim::OvnPrinterEmulator> emulator;
};

// A record left by a program that ended, and the printer as that program left it.
TEST_F(Journal, ArrivalWithARecordResumesOnlyWhatIsLeftToDo) {
    struct Case {
        const char* name;
        int64_t phase;
        std::string firmware, status;
        bool missingTable;  // a colour-table file is gone
        long answer;        // to "Finish the firmware update?"
        size_t offers, images, clears;
        const char* endAlert;
        std::vector<std::string> history;
        bool recordKept;
    };
    const long yes = ovn::kAlertSecondButtonReturn, later = ovn::kAlertFirstButtonReturn;
    const std::vector<Case> cases = {
        {"waiting for firmware", 1, kFrom, "FU00001", false, yes, 1, 1, 1, kSuccess, {"resumed"}, false},
        {"new firmware, no tables", 2, kTo, "00000", false, yes, 1, 0, 1, kSuccess, {"resumed"}, false},
        {"user says later", 2, kTo, "00000", false, later, 1, 0, 0, nullptr, {}, true},
        {"a table file is gone", 2, kTo, "00000", true, yes, 1, 0, 0, kProblem, {"failed"}, false},
        {"updated by other means", 2, "PL15 01.70", "00000", false, yes, 0, 0, 0, nullptr, {"superseded"}, false},
        {"never entered update mode", 1, kFrom, "00000", false, yes, 0, 0, 0, nullptr, {"failed"}, false},
        {"finished before the end", 3, kTo, "00000", false, yes, 0, 0, 0, nullptr, {"succeeded"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        next(&c, &cases.front());
        if (c.missingTable) fs::remove(root / "res" / "PL15_600_0161.cwd");
        ASSERT_TRUE(UpdateJournal(folder).save(record(c.phase)));
        plug(c.firmware, c.status);
        presenter->answers[kAlertTitleFinishUpdate] = c.answer;
        start();
        pumpUntil([&] {
            return presenter->count(kAlertTitleFinishUpdate) >= c.offers &&
                   (c.endAlert ? presenter->count(c.endAlert) > 0 : results().size() == c.history.size());
        });
        ovn::MainRunLoop::runFor(std::chrono::milliseconds(300));

        EXPECT_EQ(presenter->count(kAlertTitleFinishUpdate), c.offers);
        if (c.offers) {
            auto offer = presenter->last(kAlertTitleFinishUpdate);
            EXPECT_NE(offer->message.find(std::string("OVN PL15 (serial ") + kSerial + ")"), std::string::npos);
            EXPECT_NE(offer->message.find(std::string("from ") + kFrom + " to " + kTo), std::string::npos);
        }
        EXPECT_EQ(frames(DeviceCommand::FlashRewrite), 0u);
        EXPECT_EQ(frames(DeviceCommand::FlashProgram), c.images);
        EXPECT_EQ(frames(DeviceCommand::TableClear), c.clears);
        EXPECT_EQ(emulator->forbiddenCount(), 0u);
        EXPECT_EQ(c.endAlert ? presenter->count(c.endAlert) : 1u, 1u);
        EXPECT_EQ(results(), c.history);
        EXPECT_EQ(UpdateJournal(folder).records().size(), c.recordKept ? 1u : 0u);

        if (c.missingTable) {
            // Said once: the next arrival neither clears the tables nor says it again.
            emulator->powerCycle();
            ovn::MainRunLoop::runFor(std::chrono::milliseconds(600));
            EXPECT_EQ(frames(DeviceCommand::TableClear), 0u);
            EXPECT_EQ(presenter->count(kProblem), 1u);
        }
    }
}

// A real run ends right after the restart command; the next run finds the printer waiting for its firmware.
TEST_F(Journal, ARunThatEndedAfterTheRestartIsFinishedByTheNextRun) {
    plug(kFrom);
    start();
    auto p = printer();
    ASSERT_TRUE(p);
    emulator->setRestartDelayMs(400);  // back only once this run has ended
    presenter->answers["-- Warning --\n\nAre you certain you want to update the firmware?"] = ovn::kAlertSecondButtonReturn;
    presenter->answers["Attention:"] = ovn::kAlertSecondButtonReturn;
    onMain([&] { p->updateFirmware(); });
    ASSERT_TRUE(pumpUntil([&] { return frames(DeviceCommand::FlashRewrite) == 1; }));
    p.reset();
    stop();  // killed: the printer restarts into update mode with nobody watching

    auto records = UpdateJournal(folder).records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].phase, 1);
    EXPECT_EQ(records[0].from, kFrom);
    EXPECT_EQ(records[0].to, kTo);
    EXPECT_EQ(records[0].files.size(), 3u);

    presenter->answers[kAlertTitleFinishUpdate] = ovn::kAlertSecondButtonReturn;
    start();
    ASSERT_TRUE(pumpUntil([&] { return presenter->count(kSuccess) == 1; }));
    EXPECT_EQ(presenter->last(kSuccess)->message, std::string("Firmware version updated from ") + kFrom + " to " + kTo);
    EXPECT_EQ(frames(DeviceCommand::FlashRewrite), 1u);
    EXPECT_EQ(frames(DeviceCommand::FlashProgram), 1u);
    pumpUntil([&] { return results().size() == 1; });
    EXPECT_EQ(results(), std::vector<std::string>{"resumed"});
    EXPECT_TRUE(UpdateJournal(folder).records().empty());
}

// The update does not start without a journal, nor while another program drives the same printer.
TEST_F(Journal, AnUpdateThatCannotBeJournalledOrIsDrivenElsewhereIsRefused) {
    struct Case {
        const char* name;
        std::function<void(Journal&)> arrange;
        const char* reason;
    };
    std::shared_ptr<UpdateJournal> other;
    const std::vector<Case> cases = {
        {"folder cannot be made", [](Journal& t) { std::ofstream(t.root / "file"); t.folder = t.root / "file" / "state"; },
         "the update journal cannot be kept"},
        {"another program holds the printer",
         [&other](Journal& t) {
             other = std::make_shared<UpdateJournal>(t.folder);
             ASSERT_EQ(other->lock(std::string("0101-") + kSerial), UpdateJournal::Lock::Held);
         },
         "Another program is updating the firmware of OVN PL15 (serial J15000042)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        next(&c, &cases.front());
        c.arrange(*this);
        plug(kFrom);
        start();
        auto p = printer();
        ASSERT_TRUE(p);
        onMain([&] { p->updateFirmware(); });
        ASSERT_TRUE(pumpUntil([&] { return presenter->count(kAlertTitleUpdateRefused) == 1; }));
        EXPECT_NE(presenter->last(kAlertTitleUpdateRefused)->message.find(c.reason), std::string::npos);
        EXPECT_EQ(presenter->count("Attention:"), 0u) << "the warning came all the same";
        EXPECT_EQ(frames(DeviceCommand::FlashRewrite), 0u);
        other.reset();
    }
}

// A printer that goes silent, or restarts without entering update mode, is named in an alert; never silence.
TEST_F(Journal, APrinterThatGoesWrongIsNamedInAnAlert) {
    struct Case {
        ovn::sim::Fault fault;
        DeviceCommand at;
        const char* title;
        std::vector<std::string> history;
    };
    const std::vector<Case> cases = {{ovn::sim::Fault::LateReply, DeviceCommand::Status, kAlertTitleNotAnswering, {}},
                                     {ovn::sim::Fault::PowerLoss, DeviceCommand::FlashRewrite, kAlertTitleNoUpdateMode, {"failed"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        next(&c, &cases.front());
        plug(kFrom);
        start();
        auto p = printer();
        ASSERT_TRUE(p);
        presenter->answers["-- Warning --\n\nAre you certain you want to update the firmware?"] = ovn::kAlertSecondButtonReturn;
        presenter->answers["Attention:"] = ovn::kAlertSecondButtonReturn;
        emulator->injectFault(c.fault, c.at, ovn::sim::kFaultForever);
        onMain([&] { p->updateFirmware(); });
        if (c.fault == ovn::sim::Fault::PowerLoss) {
            ASSERT_TRUE(pumpUntil([&] { return !emulator->isOnBus(); }));
            emulator->clearFaults();
            emulator->powerOn();
        }
        ASSERT_TRUE(pumpUntil([&] { return presenter->count(c.title) == 1; }));
        EXPECT_EQ(presenter->last(c.title)->subject, std::string("OVN PL15 (serial ") + kSerial + ")");
        EXPECT_TRUE(pumpUntil([&] { return results() == c.history; }, 2000));
        EXPECT_EQ(frames(DeviceCommand::FlashProgram), 0u);
    }
}

TEST_F(Journal, TwoLockersOfOnePrinter) {
    UpdateJournal first(folder), second(folder);
    EXPECT_EQ(first.lock("0101-A"), UpdateJournal::Lock::Held);
    EXPECT_EQ(second.lock("0101-A"), UpdateJournal::Lock::HeldElsewhere);
    EXPECT_TRUE(second.lockedElsewhere("0101-A"));
    EXPECT_FALSE(first.lockedElsewhere("0101-A"));
    first.unlock("0101-A");
    EXPECT_EQ(second.lock("0101-A"), UpdateJournal::Lock::Held);
}

// What a damaged folder holds is reported and set aside; a power cut leaves the old record or the new one.
TEST_F(Journal, DamagedRecordsAreSetAsideAndHalfWrittenOnesIgnored) {
    ASSERT_TRUE(UpdateJournal(folder).save(record(1)));
    const fs::path good = folder / (std::string("journal-0101-") + kSerial + ".json");
    ASSERT_TRUE(fs::exists(good));
    EXPECT_FALSE(fs::exists(good.string() + ".tmp"));
    // A newer write cut short before its rename, and a record that is not one.
    std::ofstream(good.string() + ".tmp") << "{\"productID\": 257, \"phase\": 2, \"mo";
    std::ofstream(folder / "journal-0102-X.json") << "{\"productID\": 258, \"phase\": 2, \"mo";

    UpdateJournal journal(folder);
    auto records = journal.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].phase, 1);
    ASSERT_EQ(journal.problems().size(), 1u);
    EXPECT_NE(journal.problems()[0].find("journal-0102-X.json"), std::string::npos);
    EXPECT_FALSE(fs::exists(folder / "journal-0102-X.json"));
    size_t asideCount = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        asideCount += entry.path().filename().string().rfind("journal-0102-X.json.damaged-", 0) == 0;
    EXPECT_EQ(asideCount, 1u);

    // Phase changes are kept in order, each with its time.
    JournalRecord next = records[0];
    next.phase = 2;
    ASSERT_TRUE(journal.save(next));
    auto reread = UpdateJournal(folder).record(next.identity());
    ASSERT_TRUE(reread);
    ASSERT_EQ(reread->phases.size(), 2u);
    EXPECT_EQ(reread->phases[0].phase, 1);
    EXPECT_EQ(reread->phases[1].phase, 2);
}

}  // namespace
