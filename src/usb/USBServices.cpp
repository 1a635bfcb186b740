#include "usb/USBServices.h"

#include <mutex>

namespace ovn::usb {

namespace {
std::mutex gSharedMutex;
std::shared_ptr<USBServices> gShared;
}  // namespace

std::shared_ptr<USBServices> USBServices::shared() {
    std::lock_guard<std::mutex> lock(gSharedMutex);
    return gShared;
}

void USBServices::setShared(std::shared_ptr<USBServices> services) {
    std::shared_ptr<USBServices> previous;
    std::lock_guard<std::mutex> lock(gSharedMutex);
    previous.swap(gShared);
    gShared = std::move(services);
}

}  // namespace ovn::usb
