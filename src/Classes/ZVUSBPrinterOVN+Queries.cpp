// Status, the information probe and its queries, counter resets, the model picture and the colour-table
// queries. Exchanges run on the command queue; results are stored and announced on the main thread.
#include <memory>

#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/Bundle.h"
#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"
#include "support/CodeNames.h"

using ovn::DispatchQueue;
using ovn::SysLog;
namespace proto = ovn::protocol;

// ---------------------------------------------------------------------------------------------------------
// Status

std::string ZVUSBPrinterOVN::stringForDSStatusString(const Text& rawStatus) {
    return proto::stringForDSStatusString(rawStatus);
}

void ZVUSBPrinterOVN::getPrinterStatus(const StatusCompletion& completion) { queryPrinterStatus(completion, nullptr); }

void ZVUSBPrinterOVN::updatePrinterStatus() { getPrinterStatus(nullptr); }

void ZVUSBPrinterOVN::queryPrinterStatus(const StatusCompletion& completion, const std::function<void()>& noReply) {
    auto self = ovnSelf();
    openInterface([self, completion, noReply](IOReturn result) {
        if (result != kIOReturnSuccess) return;
        self->sendPrinterCommand([self] { self->sendPrinterCommand(proto::kCmdStatus); }, nullptr,
                                 [self, completion, noReply](PrinterReply reply) {
                                     if (proto::isEmptyReply(reply)) {
                                         SysLog("Received a null printer status reply ... will try again later");
                                         if (noReply) noReply();
                                         return;
                                     }
                                     Text raw = proto::replyText(reply);
                                     self->setPrinterStatus(stringForDSStatusString(raw));
                                     if (completion) completion(raw);
                                 });
    });
}

void ZVUSBPrinterOVN::setOverridePrinterStatus(const std::string& status) {
    SysLog("forcing printer status string to \"%s\"", status.c_str());
    DispatchQueue::main()->async([self = ovnSelf(), status] { self->setPrinterStatus(status); });
}

// ---------------------------------------------------------------------------------------------------------
// The information probe

void ZVUSBPrinterOVN::getDeviceCustomInfo() {
    auto self = ovnSelf();
    queryPrinterStatus(
        [self](const Text& raw) {
            // A printer waiting for firmware gets no information queries.
            if (raw == std::string(proto::kRawStatusFirmwareUpdateMode)) return;
            self->openInterface([self](IOReturn result) {
                if (result != kIOReturnSuccess) return;
                self->getPrinterFirmwareVersion();
                self->getPrinterLifetimeCounter();
                self->getPrinterColorTableVersion(nullptr);
                self->getPrinterColorTableChecksum(nullptr);
                self->updatePrinterSerialNumber();
                if (proto::iSerialSupportForProduct(self->idProductValue()) == proto::ISerialSupport::FromFirmware204) {
                    // Support depends on the firmware version just queried: decide once it is stored, on the
                    // main thread, behind its reply.
                    DispatchQueue::main()->async([self] { self->getUSB_ISerial(); });
                } else {
                    self->getUSB_ISerial();
                }
                self->closeInterface(nullptr);
            });
        },
        // Without a status the probe ends here; the interface it opened is not kept from other programs.
        [self] { self->closeInterface(nullptr); });
}

namespace {

// One query without payload: open, one exchange, the reply handled on the main thread.
void runQuery(const std::shared_ptr<ZVUSBPrinterOVN>& self, uint32_t code, const ZVUSBPrinter::ReplyBlock& onMain) {
    self->openInterface([self, code, onMain](IOReturn result) {
        if (result != kIOReturnSuccess) return;
        self->sendPrinterCommand([self, code] { self->sendPrinterCommand(code); }, nullptr, onMain);
    });
}

}  // namespace

void ZVUSBPrinterOVN::getPrinterFirmwareVersion() {
    auto self = ovnSelf();
    runQuery(self, proto::kCmdFirmwareVersion, [self](PrinterReply reply) {
        Text text = proto::replyText(reply);
        if (!text) return;
        std::string version = proto::trimWhitespaceAndNewlines(*text);
        self->storeAnnounced(QELMOR_ZVPrinterFirmwareVersion, QELMOR_ZVPrinterFirmwareVersion, version);
        SysLog("printer firmware version: %s", version.c_str());
    });
}

ZVUSBPrinter::Text ZVUSBPrinterOVN::inlineGetFirmwareString() {
    sendPrinterCommand(proto::kCmdFirmwareVersion);
    Text text = proto::replyText(printerReply());
    if (!text) return std::nullopt;
    return proto::trimWhitespaceAndNewlines(*text);
}

void ZVUSBPrinterOVN::updatePrinterSerialNumber() {
    auto self = ovnSelf();
    runQuery(self, proto::kCmdSerialNumber, [self](PrinterReply reply) {
        std::string serial = proto::replyText(reply).value_or("NULL");
        self->storeAnnounced(QELMOR_ZVPrinterSerialNumber, QELMOR_ZVPrinterSerialNumber, serial);
        SysLog("%s: %s", QELMOR_ZVPrinterSerialNumber, serial.c_str());
    });
}

void ZVUSBPrinterOVN::getPrinterLifetimeCounter() {
    auto self = ovnSelf();
    runQuery(self, proto::kCmdCounterLife, [self](PrinterReply reply) {
        Text text = proto::replyText(reply);
        if (!text) return;
        std::string counter = proto::lifetimeCounterText(*text);
        self->storeAnnounced("lifetimeCounter", QELMOR_ZVPrinterLifetimeCounter, counter);
        SysLog("lifetime counter value: %s", counter.c_str());
    });
}

ZVUSBPrinter::Text ZVUSBPrinterOVN::lifetimeCounter() const {
    return deviceInfoDict()->getString(QELMOR_ZVPrinterLifetimeCounter);
}

void ZVUSBPrinterOVN::resetCounter(char letter) {
    auto self = ovnSelf();
    openInterface([self, letter](IOReturn result) {
        if (result != kIOReturnSuccess) return;
        auto payload = proto::counterResetPayload(letter);
        if (!payload) return;
        self->sendPrinterCommand(proto::kCmdCounterClear, *payload);
    });
}

namespace {

// The query that reads a media counter back, and the two letters its reply begins with ("CA0000000").
std::optional<std::pair<uint32_t, std::string>> counterQuery(char letter) {
    switch (letter) {
        case 'A': return std::make_pair(uint32_t{proto::kCmdCounterA}, std::string("CA"));
        case 'B': return std::make_pair(uint32_t{proto::kCmdCounterB}, std::string("CB"));
        case 'M': return std::make_pair(uint32_t{proto::kCmdCounterM}, std::string("CM"));
        default: return std::nullopt;
    }
}

// The counter value of a counter reply: the prefix, then one to nine digits (a trailing line end is allowed).
std::optional<uint64_t> counterValue(const std::optional<std::string>& reply, const std::string& prefix) {
    if (!reply) return std::nullopt;
    const std::string text = proto::trimWhitespaceAndNewlines(*reply);
    if (text.size() <= prefix.size() || text.size() > prefix.size() + 9 || text.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    uint64_t value = 0;
    for (size_t i = prefix.size(); i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    return value;
}

}  // namespace

// The reset is checked from both sides: the printer must answer a status query (and not be waiting for
// firmware, where it ignores maintenance commands) before the reset is sent, and must report the counter as
// zero afterwards. The write alone says nothing: the printer does not acknowledge it.
void ZVUSBPrinterOVN::resetCounter(char letter, CounterResetCompletion completion) {
    auto self = ovnSelf();
    auto done = [completion](IOReturn result, std::string reason) {
        if (result != kIOReturnSuccess) SysLog("counter reset failed: %s", reason.c_str());
        ovn::DispatchQueue::main()->async([completion, result, reason] {
            if (completion) completion(result, reason);
        });
    };
    auto query = counterQuery(letter);
    auto payload = proto::counterResetPayload(letter);
    if (!query || !payload) {
        done(kIOReturnBadArgument, std::string("there is no counter ") + letter);
        return;
    }
    openInterface([self, letter, done, query, payload](IOReturn result) {
        if (result != kIOReturnSuccess) {
            done(result, result == kIOReturnExclusiveAccess ? "the printer is busy (another application is using it)"
                                                            : std::string("cannot open the printer: ") +
                                                                  strForIOReturn(result));
            return;
        }
        auto fail = [self, done](IOReturn code, const std::string& reason) {
            self->closeInterface(nullptr);
            done(code, reason);
        };
        self->sendPrinterCommand(proto::kCmdStatus);
        const Text status = proto::replyText(self->printerReply());
        if (!status || status->empty()) return fail(kIOReturnNotResponding, "the printer does not answer");
        if (*status == std::string(proto::kRawStatusFirmwareUpdateMode))
            return fail(kIOReturnUnsupported, "the printer is in firmware update mode and takes no counter reset");

        self->sendPrinterCommand(proto::kCmdCounterClear, *payload);
        const IOReturn written = self->writeStatus();
        if (written != kIOReturnSuccess)
            return fail(written, std::string("the counter reset did not reach the printer: ") + strForIOReturn(written));

        self->sendPrinterCommand(query->first);
        const Text answer = proto::replyText(self->printerReply());
        const auto value = counterValue(answer, query->second);
        if (!answer || answer->empty()) return fail(kIOReturnNotResponding, "the printer did not answer after the reset");
        if (!value)
            return fail(kIOReturnError, "the printer's answer \"" + proto::trimWhitespaceAndNewlines(*answer) +
                                            "\" is not a counter " + letter + " value");
        if (*value != 0)
            return fail(kIOReturnError, std::string("the printer did not take the reset: counter ") + letter +
                                            " reads " + std::to_string(*value));
        SysLog("counter %c reset and read back as 0", letter);
        self->closeInterface(nullptr);
        done(kIOReturnSuccess, std::string());
    });
}

ZVUSBPrinter::Text ZVUSBPrinterOVN::image() const {
    auto name = proto::imageNameForProduct(idProductValue());
    if (!name) return std::nullopt;
    std::string file = *name + ".png";
    if (!ovn::Bundle::pathForResource(file)) return std::nullopt;
    return file;
}

ZVUSBPrinter::Text ZVUSBPrinterOVN::imagePath() const {
    Text name = image();
    return name ? ovn::Bundle::pathForResource(*name) : std::nullopt;
}

// ---------------------------------------------------------------------------------------------------------
// Colour-table queries

proto::ColorTableLayout ZVUSBPrinterOVN::colorTableLayout() const {
    return proto::colorTableLayoutForProduct(idProductValue());
}

std::vector<uint8_t> ZVUSBPrinterOVN::commandPayloadForMediaSD() { return proto::mediaPayload(proto::TableMedia::SD); }
std::vector<uint8_t> ZVUSBPrinterOVN::commandPayloadForMediaPP() { return proto::mediaPayload(proto::TableMedia::PP); }

ZVUSBPrinter::Text ZVUSBPrinterOVN::colorTableValue(const std::string& key) const {
    return deviceInfoDict()->getString(key);
}

void ZVUSBPrinterOVN::getPrinterColorTableVersion(const ColorTableCompletion& completion) {
    runColorTableQueries(proto::colorTableVersionQueries(colorTableLayout()), completion);
}

void ZVUSBPrinterOVN::getPrinterColorTableChecksum(const ColorTableCompletion& completion) {
    runColorTableQueries(proto::colorTableChecksumQueries(colorTableLayout()), completion);
}

void ZVUSBPrinterOVN::runColorTableQueries(std::span<const proto::ColorTableQuery> queries,
                                           const ColorTableCompletion& completion) {
    if (queries.empty()) return;
    auto self = ovnSelf();
    auto results = std::make_shared<std::vector<std::string>>();
    const size_t total = queries.size();
    for (const proto::ColorTableQuery& query : queries) {
        sendPrinterCommand(
            [self, query] { self->sendPrinterCommand(query.code, proto::mediaPayload(query.media)); }, nullptr,
            [self, query, results, total, completion](PrinterReply reply) {
                std::string text = proto::trimWhitespaceAndNewlines(proto::replyText(reply).value_or("NULL"));
                self->storeAnnounced(query.key, query.key, text);
                SysLog("%s%s", query.logPrefix, text.c_str());
                if (total == 1) {
                    if (completion) completion({text});
                    return;
                }
                results->push_back(text);
                if (results->size() == total && completion) completion(*results);
            });
    }
}
