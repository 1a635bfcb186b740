// Printers leaving together. The registry's removal callback takes every terminated service its iterator holds,
// so the removal of a printer can run before that printer's own termination message has been delivered; the
// release of its handles then ends its interest registration, and the message that would have saved its
// device information is dropped. Whatever the order, every printer that leaves must leave its device
// information for its next arrival, or an update in progress is lost.
#include <thread>

#include "kit/Kit.h"

namespace kit {
namespace {

TEST(PrintersLeavingTogether, EachLeavesItsDeviceInformationForItsNextArrival) {
    Rig rig;
    Slot& first = rig.plug(PrinterModel::PL25D);
    Slot& second = rig.plug(PrinterModel::PL25D);
    rig.connect(first);
    rig.connect(second);
    ASSERT_TRUE(rig.waitProbed(first));
    ASSERT_TRUE(rig.waitProbed(second));
    rig.settle();

    // What each printer object learnt, as a firmware update in progress leaves it.
    for (Slot* s : {&first, &second}) {
        auto info = rig.listed(*s)->deviceInfoDict();
        info->set(QELMOR_ZVPrinterDeviceFirmwareStatus, static_cast<int64_t>(ZVFirmwareUpdateRebooting));
        info->set(QELMOR_ZVPrinterFirmwareVersionPrevious, std::string("kept for ") + s->key);
    }

    // Both leave in one main-queue turn; the main queue is held for a moment between them, so that the
    // removal callback of the first (which also takes the second's service) and the release it queues for the
    // second printer come before the second printer's termination message.
    const uint64_t id1 = *first.emulator->deviceId();
    const uint64_t id2 = *second.emulator->deviceId();
    onMain([&] {
        rig.bus->unplug(id1);
        ovn::DispatchQueue::main()->async([] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); });
        rig.bus->unplug(id2);
    });
    ASSERT_TRUE(rig.waitUnlisted(first));
    ASSERT_TRUE(rig.waitUnlisted(second));
    ASSERT_TRUE(rig.waitUnlistedFreed());

    for (Slot* s : {&first, &second}) {
        SCOPED_TRACE(s->key);
        auto saved = ZVUSBPrinter::deviceInfoForKey(s->key);
        EXPECT_EQ(std::optional<std::string>("kept for " + s->key),
                  saved->getString(QELMOR_ZVPrinterFirmwareVersionPrevious));
        EXPECT_EQ(std::optional<int64_t>(ZVFirmwareUpdateRebooting),
                  saved->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus));
    }
    rig.expectMainQueueTurned();
}

}  // namespace
}  // namespace kit
