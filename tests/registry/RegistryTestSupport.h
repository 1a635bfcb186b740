// Helpers of the registry tests: a fresh virtual bus per test with emulated printers, a registry over it, a
// capture of the diagnostic log and an alert presenter that answers the first button.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Classes/ZVPrinters.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "sim/SimulatedPrinters.h"
#include "support/QELMOR_Log.h"
#include "usb/VirtualUSBBus.h"

namespace registrytest {

inline bool pumpUntil(const std::function<bool()>& done, int ms = 5000) {
    return ovn::MainRunLoop::runUntil(done, std::chrono::milliseconds(ms));
}
inline void pumpFor(int ms) { ovn::MainRunLoop::runFor(std::chrono::milliseconds(ms)); }

// Runs the block as a main-queue block and waits for it.
inline void onMain(const std::function<void()>& block) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    ovn::DispatchQueue::main()->async([block, done] {
        block();
        done->store(true);
    });
    pumpUntil([done] { return done->load(); });
}

class Log {
public:
    static Log& shared() {
        static Log* log = new Log();
        return *log;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }
    void add(ovn::LogChannel channel, const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({channel, line});
    }
    std::vector<std::string> lines(std::optional<ovn::LogChannel> channel = std::nullopt) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const auto& [c, l] : lines_)
            if (!channel || c == *channel) out.push_back(l);
        return out;
    }
    size_t count(const std::string& text) const {
        size_t n = 0;
        for (const auto& l : lines()) n += l.find(text) != std::string::npos;
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<ovn::LogChannel, std::string>> lines_;
};

class FirstButtonPresenter : public ovn::AlertPresenter {
public:
    void present(const ovn::AlertRequest& request, std::function<void(long)> completion) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            titles.push_back(request.title);
        }
        completion(ovn::kAlertFirstButtonReturn);
    }
    std::mutex mutex;
    std::vector<std::string> titles;
};

// Records the announcements of one key of an observable object, with what was listed at "did change".
struct Announcements {
    std::mutex mutex;
    std::vector<std::string> events;  // "will" / "did"
    std::vector<bool> onMainQueue;
};

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ovn::SystemLog::setUseSyslog(false);
        ovn::SystemLog::setMirrorToStdErr(false);
        ovn::SystemLog::setCapture([](ovn::LogChannel c, const std::string& l) { Log::shared().add(c, l); });
        QELMOR_Log::setShouldLogToStdErr(false);
        Log::shared().clear();
        defaults = std::make_shared<ovn::MemoryUserDefaults>();
        ovn::UserDefaults::setStandard(defaults);
        presenter = std::make_shared<FirstButtonPresenter>();
        ovn::AlertPresenter::setShared(presenter);
        bus = ovn::usb::VirtualUSBBus::create();
        bus->setTimeoutScale(0.01);
        ovn::usb::USBServices::setShared(bus);
        simulated = std::make_unique<ovn::sim::SimulatedPrinters>(bus);
        forgetSavedDeviceInfo();
    }

    // The device information saved when a printer leaves is kept for the process and merged into the next
    // printer at the same location: every test starts without any.
    static void forgetSavedDeviceInfo() {
        for (uint16_t vendor : {0x2A71, 0x2A72, 0x1234})
            for (uint16_t product : {0x0101, 0x0102, 0x0103, 0x0106, 0x5C01, 0x5D01})
                for (uint32_t location = 0x14100000; location <= 0x14F00000; location += 0x00100000) {
                    char key[32];
                    std::snprintf(key, sizeof key, "%.4X%.4X%.8X", vendor, product, location);
                    ZVUSBPrinter::setDeviceInfo(std::make_shared<ovn::DeviceInfoDict>(), key);
                }
    }

    void TearDown() override {
        if (registry) onMain([this] { registry->prepareForTermination(); });
        for (auto id : bus->devices()) bus->unplug(id);
        pumpFor(30);
        registry.reset();
        ZVPrinters::destroySharedNotificationPort();
        pumpFor(10);
        ovn::usb::USBServices::setShared(nullptr);
        ovn::AlertPresenter::setShared(nullptr);
    }

    // Plugs the printers of a simulation description; fails the test on a wrong text.
    void plug(const std::string& description) {
        std::string error = simulated->addFromText(description);
        ASSERT_EQ(error, "") << description;
    }

    // Creates the registry and starts discovery as the programs do (a main-queue block).
    void startRegistry(const std::function<void(ZVPrinters&)>& beforeDiscovery = nullptr) {
        onMain([&] {
            registry = ZVPrinters::create();
            if (beforeDiscovery) beforeDiscovery(*registry);
            registry->getPrintingDevices();
        });
    }

    // The USB locations of the listed printers, in list order.
    std::vector<uint32_t> listedLocations() const {
        std::vector<uint32_t> out;
        for (const auto& p : registry->printers()) out.push_back(p->locationID());
        return out;
    }

    bool waitForListed(size_t n, int ms = 5000) {
        return pumpUntil([&] { return registry->printers().size() == n; }, ms);
    }

    // Waits until every listed printer has its serial number from the information probe.
    bool waitForProbed(int ms = 5000) {
        return pumpUntil(
            [&] {
                for (const auto& p : registry->printers())
                    if (!p->printerSerialNumber()) return false;
                return true;
            },
            ms);
    }

    std::shared_ptr<ovn::MemoryUserDefaults> defaults;
    std::shared_ptr<FirstButtonPresenter> presenter;
    std::shared_ptr<ovn::usb::VirtualUSBBus> bus;
    std::unique_ptr<ovn::sim::SimulatedPrinters> simulated;
    std::shared_ptr<ZVPrinters> registry;
};

}  // namespace registrytest
