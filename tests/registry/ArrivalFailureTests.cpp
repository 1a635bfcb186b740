// Arrival when the interface handle cannot be had: the "ERROR: " lines go to standard error, the interface is
// skipped and the next one is still handled.
#include "RegistryTestSupport.h"

using namespace registrytest;

namespace {

// The virtual bus, except that the first interface handles asked for fail as configured.
class FailingServices : public ovn::usb::USBServices {
public:
    FailingServices(std::shared_ptr<ovn::usb::VirtualUSBBus> bus, int failures, bool pluginFails, IOReturn code)
        : bus_(std::move(bus)), failures_(failures), pluginFails_(pluginFails), code_(code) {}

    ovn::usb::IONotificationPortPtr IONotificationPortCreate() override { return bus_->IONotificationPortCreate(); }
    IOReturn IOServiceAddMatchingNotification(const ovn::usb::IONotificationPortPtr& port, const std::string& type,
                                              const ovn::usb::MatchingDict& matching,
                                              ovn::usb::IOServiceMatchingCallback callback,
                                              ovn::usb::IOIteratorPtr* iterator,
                                              ovn::usb::IONotificationPtr* notification) override {
        return bus_->IOServiceAddMatchingNotification(port, type, matching, std::move(callback), iterator, notification);
    }
    IOReturn IOServiceAddInterestNotification(const ovn::usb::IONotificationPortPtr& port,
                                              const ovn::usb::IOServicePtr& service, const std::string& type,
                                              ovn::usb::IOServiceInterestCallback callback,
                                              ovn::usb::IONotificationPtr* notification) override {
        return bus_->IOServiceAddInterestNotification(port, service, type, std::move(callback), notification);
    }
    IOReturn CreateInterfaceInterface(const ovn::usb::IOServicePtr& service,
                                      ovn::usb::IOUSBInterfaceInterfacePtr* out, bool* pluginFailed) override {
        if (failures_ > 0) {
            --failures_;
            if (out) out->reset();
            if (pluginFailed) *pluginFailed = pluginFails_;
            return code_;
        }
        return bus_->CreateInterfaceInterface(service, out, pluginFailed);
    }
    IOReturn CreateDeviceInterface(const ovn::usb::IOServicePtr& service, ovn::usb::IOUSBDeviceInterfacePtr* out,
                                   bool* pluginFailed) override {
        return bus_->CreateDeviceInterface(service, out, pluginFailed);
    }

private:
    std::shared_ptr<ovn::usb::VirtualUSBBus> bus_;
    int failures_;
    bool pluginFails_;
    IOReturn code_;
};

}  // namespace

TEST_F(RegistryTest, PlugInFailureWritesBothErrorLinesAndTheNextInterfaceIsStillListed) {
    ovn::usb::USBServices::setShared(std::make_shared<FailingServices>(bus, 1, true, kIOReturnNoResources));
    plug("PL25D:serial=FAILS,PL25D:serial=WORKS");
    startRegistry();
    ASSERT_TRUE(waitForListed(1));
    ASSERT_TRUE(waitForProbed());
    pumpFor(200);
    EXPECT_EQ(registry->printers().size(), 1u);
    EXPECT_EQ(registry->printers().front()->printerSerialNumber(), std::string("WORKS"));
    const auto errors = Log::shared().lines(ovn::LogChannel::StdErr);
    const std::string code = std::to_string(static_cast<int32_t>(kIOReturnNoResources));
    auto has = [&errors](const std::string& text) {
        for (const auto& l : errors)
            if (l.find(text) != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(has("ERROR: IOCreatePlugInInterfaceForService() returned [" + code + "]")) << errors.size();
    EXPECT_TRUE(has("ERROR: QueryInterface() returned [" + code + "]"));
}

TEST_F(RegistryTest, QueryFailureWritesOnlyTheQueryLine) {
    ovn::usb::USBServices::setShared(std::make_shared<FailingServices>(bus, 1, false, kIOReturnUnsupported));
    plug("PL25D:serial=FAILS");
    startRegistry();
    pumpFor(300);
    EXPECT_TRUE(registry->printers().empty());
    const std::string code = std::to_string(static_cast<int32_t>(kIOReturnUnsupported));
    size_t query = 0, plugin = 0;
    for (const auto& l : Log::shared().lines(ovn::LogChannel::StdErr)) {
        query += l.find("ERROR: QueryInterface() returned [" + code + "]") != std::string::npos;
        plugin += l.find("IOCreatePlugInInterfaceForService") != std::string::npos;
    }
    EXPECT_EQ(query, 1u);
    EXPECT_EQ(plugin, 0u);
}
