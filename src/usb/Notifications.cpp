#include "usb/Notifications.h"

#include <algorithm>

#include "platform/DispatchQueue.h"
#include "usb/UsbTrace.h"

namespace ovn::usb::detail {

uint32_t nextServiceHandle() {
    static std::atomic<uint32_t> next{0x1003};
    uint32_t value = next.fetch_add(4);
    return value;
}

void traceControlRequest(uint16_t vendorID, uint16_t productID, uint32_t locationID, const IOUSBDevRequestTO& request,
                         IOReturn result) {
    bool in = (request.bmRequestType & 0x80) != 0;
    UsbTrace::record(vendorID, productID, locationID, in ? UsbTrace::Direction::In : UsbTrace::Direction::Out,
                     UsbTrace::Transfer::Control, request.pData, request.wLenDone, result);
}

bool ServiceObject::matches(const MatchingDict& matching) const {
    if (matching.serviceClass != className_) return false;
    if (className_ != "IOUSBInterface") return true;
    if (matching.bInterfaceClass >= 0 && matching.bInterfaceClass != interfaceClass_) return false;
    if (matching.bInterfaceSubClass >= 0 && matching.bInterfaceSubClass != interfaceSubClass_) return false;
    return true;
}

IOServicePtr ServiceIterator::IOIteratorNext() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.empty()) return nullptr;
    IOServicePtr next = std::move(pending_.front());
    pending_.pop_front();
    return next;
}

void ServiceIterator::push(IOServicePtr service) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(service));
}

bool ServiceIterator::empty() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.empty();
}

void ServiceIterator::clear() {
    std::deque<IOServicePtr> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(pending_);
}

void Registration::release() {
    IOServiceMatchingCallback matchingDropped;
    IOServiceInterestCallback interestDropped;
    IOServicePtr serviceDropped;
    {
        std::lock_guard<std::recursive_mutex> lock(callMutex);
        active.store(false);
        // A callback running on this thread holds its own copy, so the stored ones can go now; what they
        // captured is released outside the lock.
        matchingDropped.swap(matchingCallback);
        interestDropped.swap(interestCallback);
        serviceDropped.swap(service);
        if (iterator) iterator->clear();
    }
}

namespace {

class NotificationRef : public IONotification {
public:
    explicit NotificationRef(std::shared_ptr<Registration> registration) : registration_(std::move(registration)) {}
    ~NotificationRef() override { registration_->release(); }
    IOReturn IOObjectRelease() override {
        registration_->release();
        return kIOReturnSuccess;
    }

private:
    std::shared_ptr<Registration> registration_;
};

class Port : public IONotificationPort {
public:
    ~Port() override { destroy(); }
    void destroy() override {
        std::vector<std::shared_ptr<Registration>> registrations;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            destroyed_ = true;
            registrations.swap(registrations_);
        }
        for (auto& registration : registrations) registration->release();
    }
    // False once the port is destroyed: nothing can be registered on it any more.
    bool keep(const std::shared_ptr<Registration>& registration) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (destroyed_) return false;
        registrations_.erase(std::remove_if(registrations_.begin(), registrations_.end(),
                                            [](const std::shared_ptr<Registration>& r) { return !r->active.load(); }),
                             registrations_.end());
        registrations_.push_back(registration);
        return true;
    }

private:
    std::mutex mutex_;
    bool destroyed_ = false;
    std::vector<std::shared_ptr<Registration>> registrations_;
};

void deliverMatching(const std::shared_ptr<Registration>& registration) {
    DispatchQueue::main()->async([registration] {
        std::lock_guard<std::recursive_mutex> lock(registration->callMutex);
        if (!registration->active.load()) return;
        std::shared_ptr<ServiceIterator> iterator = registration->iterator;
        // An earlier callback may already have drained what this event added.
        if (!iterator || iterator->empty()) return;
        IOServiceMatchingCallback callback = registration->matchingCallback;
        if (callback) callback(iterator);
    });
}

void deliverInterest(const std::shared_ptr<Registration>& registration, const IOServicePtr& service,
                     uint32_t message) {
    DispatchQueue::main()->async([registration, service, message] {
        std::lock_guard<std::recursive_mutex> lock(registration->callMutex);
        if (!registration->active.load()) return;
        IOServiceInterestCallback callback = registration->interestCallback;
        if (callback) callback(service, message, nullptr);
    });
}

}  // namespace

IONotificationPortPtr NotificationHub::createPort() { return std::make_shared<Port>(); }

void NotificationHub::add(const std::shared_ptr<Registration>& registration) {
    registrations_.erase(std::remove_if(registrations_.begin(), registrations_.end(),
                                        [](const std::weak_ptr<Registration>& w) {
                                            auto r = w.lock();
                                            return !r || !r->active.load();
                                        }),
                         registrations_.end());
    registrations_.push_back(registration);
}

std::vector<std::shared_ptr<Registration>> NotificationHub::live(Registration::Kind kind) {
    std::vector<std::shared_ptr<Registration>> result;
    for (auto& weak : registrations_) {
        auto registration = weak.lock();
        if (registration && registration->kind == kind && registration->active.load()) result.push_back(registration);
    }
    return result;
}

IOReturn NotificationHub::addMatching(const IONotificationPortPtr& port, const std::string& type,
                                      const MatchingDict& matching, IOServiceMatchingCallback callback,
                                      const std::vector<IOServicePtr>& present, IOIteratorPtr* iterator,
                                      IONotificationPtr* notification) {
    if (iterator) *iterator = nullptr;
    if (notification) *notification = nullptr;
    auto portImpl = std::dynamic_pointer_cast<Port>(port);
    if (!portImpl || !callback) return kIOReturnBadArgument;
    auto registration = std::make_shared<Registration>();
    if (type == kIOMatchedNotification)
        registration->kind = Registration::Kind::Matched;
    else if (type == kIOTerminatedNotification)
        registration->kind = Registration::Kind::Terminated;
    else
        return kIOReturnBadArgument;
    registration->matching = matching;
    registration->matchingCallback = std::move(callback);
    registration->iterator = std::make_shared<ServiceIterator>();
    if (registration->kind == Registration::Kind::Matched) {
        for (const auto& service : present) {
            auto object = std::dynamic_pointer_cast<ServiceObject>(service);
            if (object && object->matches(matching)) registration->iterator->push(service);
        }
    }
    if (!portImpl->keep(registration)) return kIOReturnNoResources;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        add(registration);
    }
    if (iterator) *iterator = registration->iterator;
    if (notification) *notification = std::make_shared<NotificationRef>(registration);
    return kIOReturnSuccess;
}

IOReturn NotificationHub::addInterest(const IONotificationPortPtr& port, const IOServicePtr& service,
                                      const std::string& type, IOServiceInterestCallback callback,
                                      IONotificationPtr* notification) {
    if (notification) *notification = nullptr;
    auto portImpl = std::dynamic_pointer_cast<Port>(port);
    if (!portImpl || !service || !callback || type != kIOGeneralInterest) return kIOReturnBadArgument;
    auto registration = std::make_shared<Registration>();
    registration->kind = Registration::Kind::Interest;
    registration->service = service;
    registration->watched = service.get();
    registration->interestCallback = std::move(callback);
    if (!portImpl->keep(registration)) return kIOReturnNoResources;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        add(registration);
    }
    if (notification) *notification = std::make_shared<NotificationRef>(registration);
    return kIOReturnSuccess;
}

void NotificationHub::serviceArrived(const IOServicePtr& service) {
    auto object = std::dynamic_pointer_cast<ServiceObject>(service);
    if (!object) return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& registration : live(Registration::Kind::Matched)) {
        if (!object->matches(registration->matching)) continue;
        registration->iterator->push(service);
        deliverMatching(registration);
    }
}

void NotificationHub::servicesTerminated(const std::vector<IOServicePtr>& services) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& service : services) {
        for (auto& registration : live(Registration::Kind::Interest)) {
            if (registration->watched == service.get())
                deliverInterest(registration, service, kIOMessageServiceIsTerminated);
        }
    }
    for (const auto& service : services) {
        auto object = std::dynamic_pointer_cast<ServiceObject>(service);
        if (!object) continue;
        for (auto& registration : live(Registration::Kind::Terminated)) {
            if (!object->matches(registration->matching)) continue;
            registration->iterator->push(service);
            deliverMatching(registration);
        }
    }
}

void NotificationHub::interestMessage(const IOServicePtr& service, uint32_t message) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& registration : live(Registration::Kind::Interest)) {
        if (registration->watched == service.get()) deliverInterest(registration, service, message);
    }
}

}  // namespace ovn::usb::detail
