// The colour-table upload that finishes a firmware update: the printer's tables are cleared and every table of
// the catalogue is written, each as a version frame (the file name in capitals) followed by a data frame (the
// file's contents). No reply is read; the version and checksum queries between the tables refresh what the
// printer list shows.
#include <cctype>
#include <fstream>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/SystemLog.h"

using ovn::SysLog;
namespace proto = ovn::protocol;
namespace catalogue = ovn::OVNFirmwareCatalogue;

namespace {

// The whole file, or nothing when it cannot be read or would not fit one frame.
std::optional<std::vector<uint8_t>> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return std::nullopt;
    const std::streamoff size = in.tellg();
    if (size < 0) return std::nullopt;
    if (static_cast<uint64_t>(size) > proto::kMaxPayloadFieldSize) {
        SysLog("colour-table file %s is too large for one frame (%lld bytes)", path.c_str(),
               static_cast<long long>(size));
        return std::nullopt;
    }
    std::vector<uint8_t> data(static_cast<size_t>(size));
    in.seekg(0);
    if (size > 0 && !in.read(reinterpret_cast<char*>(data.data()), size)) return std::nullopt;
    return data;
}

std::vector<uint8_t> versionPayload(const std::string& fileName) {
    std::vector<uint8_t> bytes;
    bytes.reserve(fileName.size() + 3);
    for (char c : fileName) bytes.push_back(static_cast<uint8_t>(std::toupper(static_cast<unsigned char>(c))));
    return ZVUSBPrinterOVN::paddedData(std::move(bytes)).value_or(std::vector<uint8_t>{});
}

}  // namespace

std::vector<std::string> ZVUSBPrinterOVN::colorTableNames() const {
    std::optional<std::vector<std::string>> files = filenamesForUse();
    if (!files || files->size() < 3) return {};
    return std::vector<std::string>(files->begin() + 1, files->end());
}

std::optional<std::vector<uint8_t>> ZVUSBPrinterOVN::paddedColorDataForVersion(const std::string& fileName) const {
    std::optional<std::vector<uint8_t>> data;
    if (std::optional<std::string> path = catalogue::resourcePath(fileName)) data = readWholeFile(*path);
    SysLog("got data of length %lu for file at path %s", static_cast<unsigned long>(data ? data->size() : 0),
           fileName.c_str());
    return data;
}

void ZVUSBPrinterOVN::updateColorTables(const UploadCompletion& completion) {
    writeColorTables([completion](ColorTableOutcome outcome, const std::vector<std::string>&) {
        if (completion && outcome != ColorTableOutcome::NotOpened) completion(outcome == ColorTableOutcome::Written);
    });
}

void ZVUSBPrinterOVN::writeColorTables(const ColorTableStepCompletion& completion) {
    auto done = [completion](ColorTableOutcome outcome, const std::vector<std::string>& written) {
        if (completion) completion(outcome, written);
    };
    if (!verifyFirmwareArchive()) {
        SysLog("failed to verify firmware archive");
        // Reported, not kept quiet: the firmware is new but its tables were not written. The phase stays, so
        // the next arrival tries again.
        done(ColorTableOutcome::ArchiveFailed, {});
        return;
    }
    auto self = ovnSelf();
    openInterface([self, done](IOReturn result) {
        if (result != kIOReturnSuccess) {
            SysLog("could not open %s to write its colour tables", self->descriptionUTF8().c_str());
            done(ColorTableOutcome::NotOpened, {});
            return;
        }

        // Every table is read before anything is sent, and nothing is sent unless every one is at hand: the
        // first frame clears all the printer's tables, and a table without data must never be written.
        struct Table {
            std::string name;
            std::vector<uint8_t> version;
            std::vector<uint8_t> data;
        };
        const std::vector<std::string> names = self->colorTableNames();
        std::vector<Table> tables;
        bool missing = names.empty();
        for (const std::string& name : names) {
            std::optional<std::vector<uint8_t>> data = self->paddedColorDataForVersion(name);
            if (!data || data->empty()) {
                SysLog("colour table \"%s\" is missing or empty", name.c_str());
                missing = true;
                continue;
            }
            tables.push_back(Table{name, versionPayload(name), std::move(*data)});
        }
        if (missing) {
            SysLog("not every colour table for %s is at hand: its tables are left as they are",
                   self->descriptionUTF8().c_str());
            done(ColorTableOutcome::FilesMissing, {});
            return;
        }
        self->waitForPrinterStatusCode(proto::kRawStatusIdle);
        self->setOverridePrinterStatus("Updating color tables ...");

        auto send = [&self](uint32_t code, std::span<const uint8_t> payload) {
            self->setWriteStatus(kIOReturnError);
            self->sendPrinterCommand(code, payload);
            return self->writeStatus() == kIOReturnSuccess;
        };
        auto refresh = [&self] {
            self->getPrinterColorTableVersion(nullptr);
            self->getPrinterColorTableChecksum(nullptr);
        };

        std::vector<std::string> written;
        bool reachable = send(proto::kCmdTableClear, {});
        if (reachable) refresh();
        for (const Table& table : tables) {
            if (!reachable) break;
            // The data frame goes only behind its own version frame.
            reachable = send(proto::kCmdTableWriteVersion, table.version) &&
                        send(proto::kCmdTableWriteData, table.data);
            if (!reachable) {
                SysLog("colour table \"%s\" did not reach %s", table.name.c_str(), self->descriptionUTF8().c_str());
                break;
            }
            written.push_back(table.name);
            refresh();
        }

        const bool complete = written.size() == names.size();
        if (complete) {
            self->deviceInfoDict()->set(QELMOR_ZVPrinterDeviceFirmwareStatus,
                                        static_cast<int64_t>(ZVFirmwareUpdateFinished));
        } else {
            // The update stays unfinished: the printer's next arrival writes the tables again.
            SysLog("%zu of %zu colour tables written to %s", written.size(), names.size(),
                   self->descriptionUTF8().c_str());
        }
        done(complete ? ColorTableOutcome::Written : ColorTableOutcome::Incomplete, written);
    });
}
