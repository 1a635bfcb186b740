// Many printers arriving and leaving over and over through the registry while their probes and exchanges are in
// flight: cables pulled, power lost and restored, restarts the host asks for, another application taking the
// interface, replies going wrong. Nothing crashes, the list always holds each printer object once and, at
// rest, exactly the printers that are plugged in, and every printer object is freed once the registry is
// emptied. Built with the sanitizers, the same run shows no data race, no memory error and no leak.
//
// OVN_STRESS_ARRIVALS sets the number of arrivals (default 1000), OVN_STRESS_SEED the random sequence.
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>

#include "kit/Kit.h"

namespace kit {
namespace {

constexpr size_t kPrinters = 32;

int envInt(const char* name, int fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    return (end && *end == 0 && v > 0 && v < 1000000) ? static_cast<int>(v) : fallback;
}

TEST(Stress, PrintersComeAndGoWhileTheirExchangesAreInFlight) {
    const int targetArrivals = envInt("OVN_STRESS_ARRIVALS", 1000);
    const unsigned seed = static_cast<unsigned>(envInt("OVN_STRESS_SEED", 20240611));
    std::printf("stress: %d arrivals of %zu printers, seed %u\n", targetArrivals, kPrinters, seed);
    std::mt19937 rng(seed);
    auto chance = [&rng](int percent) { return static_cast<int>(rng() % 100) < percent; };

    Rig rig;
    // The list never holds a printer object twice, and never more objects than two per printer (the one that
    // is leaving and the one that arrived in its place).
    std::atomic<int> duplicateListings{0};
    std::atomic<size_t> longestList{0};
    ovn::ObservationToken listCheck;
    onMain([&] {
        listCheck = rig.registry->observe(ZVPrinters::kPrintersKey, [&](const std::string&, const ovn::KeyValueChange&) {
            auto list = rig.registry->printers();
            std::set<const ZVUSBPrinterOVN*> unique;
            for (const auto& p : list) unique.insert(p.get());
            if (unique.size() != list.size()) duplicateListings.fetch_add(1);
            if (list.size() > longestList.load()) longestList.store(list.size());
        });
    });

    std::vector<Slot*> slots;
    for (size_t i = 0; i < kPrinters; ++i) {
        SlotOptions o;
        o.restartDelayMs = 5 + static_cast<uint32_t>(rng() % 20);
        o.iSerial = chance(50);
        Slot& s = rig.plug(allModels()[i % allModels().size()], o);
        slots.push_back(&s);
        rig.connect(s);
    }
    auto arrivals = [&] {
        int n = 0;
        for (Slot* s : slots) n += s->wire->arrivals();
        return n;
    };

    const std::vector<Fault> replyFaults = {Fault::NoReply, Fault::LateReply, Fault::BadHeader,
                                            Fault::OversizeLength, Fault::NoCarriageReturn, Fault::Disconnect};
    const auto started = std::chrono::steady_clock::now();
    int actions = 0;
    while (arrivals() < targetArrivals) {
        Slot& s = *slots[rng() % slots.size()];
        auto& emulator = *s.emulator;
        const int pick = static_cast<int>(rng() % 100);
        if (pick < 30) {
            emulator.powerCycle();  // leaves and arrives again at once
        } else if (pick < 45) {
            if (emulator.isPowered())
                emulator.powerLoss();
            else
                emulator.powerOn();
        } else if (pick < 55) {
            // A restart the host asks for, from the printer's command queue.
            if (auto p = rig.listed(s)) p->performInlineOnCommandQueue([p] { p->reEnumerateUSBDevice(); });
        } else if (pick < 65) {
            emulator.injectFault(replyFaults[rng() % replyFaults.size()], std::nullopt, 1 + rng() % 3);
        } else if (pick < 72) {
            emulator.setHeldByOtherApplication(!emulator.isHeldByOtherApplication());
        } else if (pick < 90) {
            // What the user does with a listed printer.
            if (auto p = rig.listed(s)) {
                switch (rng() % 4) {
                    case 0: p->probe(); break;
                    case 1: p->updatePrinterStatus(); break;
                    case 2: p->getDeviceCustomInfo(); break;
                    default: p->setIsOwned(p->isOwned() ? 0 : 1); break;
                }
            }
        }
        ++actions;
        pumpFor(static_cast<int>(rng() % 4));
    }
    const auto churn = std::chrono::steady_clock::now() - started;

    // At rest: everyone back, free and on the bus; the list holds exactly the printers plugged in, each probed.
    for (Slot* s : slots) {
        s->emulator->clearFaults();
        if (s->emulator->isHeldByOtherApplication()) s->emulator->setHeldByOtherApplication(false);
    }
    // A fault already armed on a reply under way still strikes after the faults are cleared (a cable pulled in
    // the middle of that reply): whatever is off the bus is plugged in again until all are on it.
    const auto allOnBus = [&] {
        for (Slot* s : slots)
            if (!s->emulator->isOnBus()) return false;
        return true;
    };
    bool allBack = false;
    for (int round = 0; round < 20 && !allBack; ++round) {
        for (Slot* s : slots)
            if (!s->emulator->isPowered() || !s->emulator->isOnBus()) s->emulator->powerOn();
        allBack = pumpUntil(allOnBus, waitLimitMs(500));
    }
    ASSERT_TRUE(allBack) << "a printer did not come back on the bus";
    // One more arrival each, so that no reply went wrong in the probe that is checked.
    for (Slot* s : slots) s->emulator->powerCycle();
    for (Slot* s : slots) {
        ASSERT_TRUE(rig.waitProbed(*s, 20000)) << s->key << " was not listed and probed after the churn";
    }
    rig.settle(20000);
    ASSERT_TRUE(rig.waitUnlistedFreed(20000)) << "printer objects that left the list were not freed";

    {
        std::set<std::string> plugged, listed;
        for (Slot* s : slots) plugged.insert(s->key);
        auto list = rig.registry->printers();
        for (const auto& p : list) listed.insert(p->keyUSBdevice());
        EXPECT_EQ(plugged, listed);
        EXPECT_EQ(kPrinters, list.size());
    }
    size_t frames = 0;
    for (Slot* s : slots) {
        auto p = rig.listed(*s);
        ASSERT_TRUE(p);
        EXPECT_EQ(s->emulator->serial(), p->printerSerialNumber().value_or("(none)")) << s->key;
        EXPECT_EQ(s->emulator->firmwareVersion(), p->firmwareVersion().value_or("(none)")) << s->key;
        EXPECT_EQ(0u, s->emulator->forbiddenCount()) << s->emulator->forbiddenReasons().size();
        EXPECT_EQ(0, s->wire->mainQueueTransfers());
        EXPECT_TRUE(s->framesOf(DeviceCommand::FlashRewrite).empty());
        frames += s->emulator->frameCount();
    }
    EXPECT_EQ(0, duplicateListings.load()) << "a printer object was listed twice";
    EXPECT_LE(longestList.load(), 2 * kPrinters);
    EXPECT_GE(arrivals(), targetArrivals);
    EXPECT_GE(rig.printerObjectsSeen(), kPrinters);
    EXPECT_TRUE(rig.presenter->shown().empty()) << rig.presenter->describe();
    rig.expectMainQueueTurned();
    std::printf("stress: %d arrivals, %d actions, %zu printer objects listed, %zu frames, %lld ms of churn\n",
                arrivals(), actions, rig.printerObjectsSeen(), frames,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(churn).count()));

    onMain([&] { listCheck.reset(); });
    // The program ends while every printer is in the middle of arriving again: emptying the registry still frees
    // every printer object once the work queued for it has run (checked by the rig).
    for (Slot* s : slots) s->emulator->powerCycle();
    pumpFor(3);
    rig.shutDown();
}

}  // namespace
}  // namespace kit
