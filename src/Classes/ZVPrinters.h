// ZVPrinters: the printer registry and the program's controller object.
//
// It subscribes to USB arrival and removal notifications for printer-class interfaces (class 7, subclass 1),
// creates one ZVUSBPrinterOVN per interface whose vendor and product IDs are accepted, keeps the printer
// objects in an ordered list (arrival order) and takes a printer out of the list when its device goes away.
// It is the only place where printer objects are created.
//
// Observable keys (ovn::Observable; "will change" / "did change" are announced around every change, always on
// the main queue):
//   "printers"          the list (printers() answers a snapshot)
//   "selectedPrinter"   the current printer (selectedPrinter()), nothing while the list is empty
//   "selectionIndex"    its position in the list (selectionIndex()), -1 for none
//
// Selection model (what the desktop program's table shows and the command-line program follows). The rules
// are those of an array controller set to "select inserted objects", "avoid an empty selection" and "do not
// preserve the selection":
//   * a printer that enters the list becomes the selection;
//   * whenever a listed printer's "firmwareVersion" becomes known or changes, it becomes the selection (queued
//     on the main queue behind its insertion);
//   * when the selected printer leaves the list, the printer now at its position (or else the last one) is
//     selected; an empty list has no selection;
//   * setSelectionIndex / setSelectedPrinter select explicitly (a printer not listed, or an index out of
//     range, changes nothing).
// The desktop program keeps its table's first row selected on top of this (tableViewSelectionDidChange).
//
// Threads: construction, getPrintingDevices, the notification callbacks, addPrinter, removedDeviceObject,
// the selection setters and prepareForTermination run on the main thread (whoever drains the main queue).
// printers(), selectedPrinter(), selectionIndex() and printerWithKeyUSBdevice() may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/Observable.h"
#include "usb/USBServices.h"

class ZVPrinters;

// The arrival and removal callbacks. `refcon` is the registry (held strongly while the callback runs by the
// registration's closure); each drains the iterator it is given.
void newPrinterCallback(ZVPrinters* refcon, const ovn::usb::IOIteratorPtr& iterator);
void deviceRemovedCallback(ZVPrinters* refcon, const ovn::usb::IOIteratorPtr& iterator);

class ZVPrinters : public ovn::Observable,
                   public ovn::KeyValueObserver,
                   public std::enable_shared_from_this<ZVPrinters> {
public:
    using PrinterPtr = std::shared_ptr<ZVUSBPrinterOVN>;
    using PrinterList = std::vector<PrinterPtr>;
    using IndexSet = ZVUSBPrinter::IndexSet;

    // Observable keys.
    static constexpr const char kPrintersKey[] = "printers";
    static constexpr const char kSelectedPrinterKey[] = "selectedPrinter";
    static constexpr const char kSelectionIndexKey[] = "selectionIndex";
    // User-defaults entries.
    static constexpr const char kAdditionalProductIDsKey[] = "additionalProductIDs";
    static constexpr const char kDisplayVersionKey[] = "prefDisplayVersionString";
    static constexpr const char kShortVersionKey[] = "CFBundleShortVersionString";

    // ---- creation (init) ----

    // Takes the shared notification port; nothing is registered until getPrintingDevices (or awakeFromNib).
    // Main thread.
    static std::shared_ptr<ZVPrinters> create();
    ~ZVPrinters() override;  // runs prepareForTermination
    ZVPrinters(const ZVPrinters&) = delete;
    ZVPrinters& operator=(const ZVPrinters&) = delete;

    // ---- class level ----

    // The process-wide USB notification port, created from ovn::usb::USBServices::shared() on the first call
    // (its notifications are delivered on the main queue). Later calls answer the same port. Nothing when no
    // USB provider is installed or the port cannot be created ("failed to add a runloop source for device
    // notifications" is logged); a later call tries again.
    static ovn::usb::IONotificationPortPtr sharedNotificationPort();
    // Destroys the shared port (ending every registration made on it) and forgets it; the next
    // sharedNotificationPort() creates a new one. Called by prepareForTermination.
    static void destroySharedNotificationPort();
    // Main-queue test: the main queue is tagged under mainQueueSpecificKey() with itself as value.
    static void initialize();
    static const void* mainQueueSpecificKey();
    static bool isMainQueue();

    // ---- start-up (main thread) ----

    // Writes "prefDisplayVersionString" ("%s (build %s)" of the short version and the build version) to the
    // standard user defaults, then getPrintingDevices.
    void awakeFromNib();
    // Writes "CFBundleShortVersionString" to the standard user defaults when the program has a short version.
    void applicationDidFinishLaunching();
    // Reads the accepted product IDs added through the user defaults, registers arrival and removal
    // notifications and handles the interfaces already attached (they are listed on later main-queue turns).
    void getPrintingDevices();

    // ---- accepted USB IDs ----

    // Product IDs accepted beyond ZVUSBPrinterOVN::supportedProductIDs(), for this registry only. Adding takes
    // effect for interfaces that arrive afterwards (add before getPrintingDevices to cover those attached).
    void addAcceptedProductID(uint16_t productID);
    void addAcceptedProductIDs(const IndexSet& productIDs);
    // ZVUSBPrinterOVN::supportedProductIDs() plus the added ones (user defaults and addAcceptedProductID).
    IndexSet acceptedProductIDs() const;
    IndexSet acceptedVendorIDs() const;  // ZVUSBPrinterOVN::supportedVendorIDs()
    // Whether an interface with these values is a supported printer (the four arrival tests).
    bool acceptsInterface(uint8_t interfaceClass, uint8_t interfaceSubClass, uint16_t vendorID,
                          uint16_t productID) const;
    // Product IDs of the user-defaults entry "additionalProductIDs": a list of texts, each hexadecimal with
    // 0x or decimal, or a single such text or integer. Unusable entries are logged and skipped.
    static IndexSet productIDsFromUserDefaults();

    // ---- OVN printers seen but not accepted ----

    // A printer-class interface of an accepted vendor whose product ID is not accepted: it is not listed, and
    // the user is told which option would accept it.
    struct UnacceptedPrinter {
        uint16_t vendorID = 0;
        uint16_t productID = 0;
        uint32_t locationID = 0;
        std::string model;  // the catalogue's model name ("PL35"), "" for a product ID it does not know
    };
    // Those attached now, in arrival order (any thread).
    std::vector<UnacceptedPrinter> unacceptedPrinters() const;
    // The line the user reads about one of them, naming the option that accepts it ("--accept-product 0x5C01").
    static std::string unacceptedPrinterText(const UnacceptedPrinter& printer);

    // ---- printer creation ----

    // Makes the printer object for an accepted interface (main thread). The default makes a ZVUSBPrinterOVN
    // with ZVUSBPrinter::create; a program may install a subclass (a simulated run does, so that nothing of the
    // host's printing system is touched). Nothing (or an object that failed its set-up) skips the interface.
    using PrinterFactory = std::function<PrinterPtr(const ovn::usb::IOUSBInterfaceInterfacePtr& interface,
                                                    const ovn::usb::IOServicePtr& service)>;
    void setPrinterFactory(PrinterFactory factory);

    // ---- device events (main thread) ----

    // Probes, observes and lists the printer (the list changes on the next main-queue turn).
    void addPrinter(const PrinterPtr& printer);
    // Finds the printer created for this service, stops observing it, queues the release of its handles and
    // unlists it after everything already queued for it has run.
    void removedDeviceObject(const ovn::usb::IOServicePtr& service);

    // "firmwareVersion" of a listed printer (context = the printer): makes it the selection on the main queue.
    void observeValueForKeyPath(const std::string& keyPath, ovn::Observable* object, const ovn::KeyValueChange& change,
                                void* context) override;

    // ---- the list ----

    // A snapshot of the listed printers, in arrival order (empty before the first arrival).
    PrinterList printers() const;
    // Changes nothing (the list is the registry's own); logs only.
    void setPrinters(const PrinterList& printers);
    bool updateInProgress() const { return false; }
    // The listed printer with this keyUSBdevice ("%.4X%.4X%.8X" of vendor, product, location), or nothing.
    PrinterPtr printerWithKeyUSBdevice(const std::string& key) const;

    // ---- selection ----

    PrinterPtr selectedPrinter() const;
    int64_t selectionIndex() const;  // -1: none
    // Main thread. A printer not in the list, or an index out of range, changes nothing.
    void setSelectedPrinter(const PrinterPtr& printer);
    void setSelectionIndex(int64_t index);

    // Observable values: "printers" (the count), "selectionIndex", "selectedPrinter" (its keyUSBdevice).
    ovn::Value valueForKey(const std::string& key) const override;

    // ---- termination (main thread) ----

    // Logs "inside applicationShouldTerminate", runs prepareForTermination and answers true (terminate now).
    bool applicationShouldTerminate();
    // Queues the emptying of the list on the main queue (with change announcements), destroys the shared
    // notification port and releases both iterators. A second call finds nothing left to do.
    void prepareForTermination();

    // ---- for tests and diagnostics ----

    bool hasArrivalRegistration() const;
    bool hasRemovalRegistration() const;

private:
    ZVPrinters();
    void init();
    void drainArrivals(const ovn::usb::IOIteratorPtr& iterator);
    void drainRemovals(const ovn::usb::IOIteratorPtr& iterator);
    void handleArrivedService(const ovn::usb::IOServicePtr& service);
    void noteUnaccepted(const ovn::usb::IOUSBInterfaceInterfacePtr& interface, const ovn::usb::IOServicePtr& service,
                        uint16_t vendorID, uint16_t productID);
    void appendPrinter(const PrinterPtr& printer);
    void unlistPrinter(const PrinterPtr& printer);
    void changeSelection(int64_t index);
    void releaseTracked(const PrinterPtr& printer, bool listed);

    friend void newPrinterCallback(ZVPrinters*, const ovn::usb::IOIteratorPtr&);
    friend void deviceRemovedCallback(ZVPrinters*, const ovn::usb::IOIteratorPtr&);

    ovn::usb::IONotificationPortPtr notifyPort_;
    ovn::usb::IOIteratorPtr printerIterator_;
    ovn::usb::IOIteratorPtr removedIterator_;
    ovn::usb::IONotificationPtr arrivalNotification_;
    ovn::usb::IONotificationPtr removalNotification_;

    // A printer the registry created and observes, from addPrinter until its removal.
    struct Tracked {
        std::weak_ptr<ZVUSBPrinterOVN> printer;
        ovn::usb::IOServicePtr service;  // the service it was created for
        ovn::ObservationToken firmwareObservation;
        bool listed = false;             // false while its insertion is still queued
    };

    mutable std::mutex mutex_;
    // Guarded by mutex_.
    std::optional<PrinterList> printers_;  // absent until the first printer arrives, and after termination
    int64_t selectionIndex_ = -1;
    IndexSet addedProductIDs_;
    std::map<const ZVUSBPrinterOVN*, Tracked> tracked_;
    std::vector<std::pair<ovn::usb::IOServicePtr, UnacceptedPrinter>> unaccepted_;
    bool terminated_ = false;
    PrinterFactory factory_;
};
