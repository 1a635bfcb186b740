// The firmware catalogue of the vendor printer, the verification of the delivered files and the firmware image
// that the upload sends. The work itself lives in OVNFirmwareCatalogue and OVNSRecord; this file gives it the
// printer's product ID, class name, device-info dictionary and main-thread recording.
#include <filesystem>
#include <fstream>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"

using ovn::SysLog;
namespace catalogue = ovn::OVNFirmwareCatalogue;
namespace srec = ovn::OVNSRecord;

namespace {

// The key of every file hash: the name of the printer class.
constexpr std::string_view kHashKey = catalogue::kPrinterClassName;

}  // namespace

bool ZVUSBPrinterOVN::verifyFirmwareArchive() {
    std::weak_ptr<ZVUSBPrinterOVN> weak = ovnSelf();
    return catalogue::verifyFirmwareArchive(idProductValue(), kHashKey, *deviceInfoDict(),
                                            [weak](const std::vector<std::string>& files) {
                                                if (auto self = weak.lock()) self->setFilenames(files);
                                            });
}

ZVUSBPrinter::Text ZVUSBPrinterOVN::verifyBlob(std::span<const uint8_t> contents) const {
    return catalogue::verifyBlob(kHashKey, contents);
}

std::string ZVUSBPrinterOVN::asciiHexForData(std::span<const uint8_t> bytes) {
    return catalogue::asciiHexForData(bytes);
}

void ZVUSBPrinterOVN::setFilenames(const std::vector<std::string>& filenames) {
    // Always later, on the main thread, so that observers of "newFirmwareVersion" hear of it there.
    ovn::DispatchQueue::main()->async([self = ovnSelf(), filenames] {
        self->willChangeValueForKey("newFirmwareVersion");
        self->deviceInfoDict()->set(ovn::cFirmwareFilenames, filenames);
        self->didChangeValueForKey("newFirmwareVersion");
    });
}

ZVUSBPrinter::Text ZVUSBPrinterOVN::newFirmwareVersion() {
    return catalogue::newFirmwareVersion(*deviceInfoDict(), [this] { return verifyFirmwareArchive(); });
}

double ZVUSBPrinterOVN::availableFirmwareVersion() {
    // Compared right after an archive check whose recording may still be on its way to the main thread.
    return catalogue::availableFirmwareVersion(offeredFirmwareVersion());
}

ZVUSBPrinter::Text ZVUSBPrinterOVN::offeredFirmwareVersion() const {
    return catalogue::offeredFirmwareVersion(filenamesForUse());
}

double ZVUSBPrinterOVN::installedFirmwareVersion() const {
    return catalogue::installedFirmwareVersion(firmwareVersion());
}

std::optional<std::vector<std::string>> ZVUSBPrinterOVN::filenamesForUse() const {
    if (auto recorded = catalogue::recordedFilenames(*deviceInfoDict())) return recorded;
    // The archive check hands the list to the main thread; a step that runs right after it elsewhere uses the
    // same list straight from the catalogue.
    if (const catalogue::CatalogueRow* row = catalogue::rowForProductID(idProductValue())) return row->files;
    return std::nullopt;
}

bool ZVUSBPrinterOVN::allCatalogueFilesPresent() const {
    const catalogue::CatalogueRow* row = catalogue::rowForProductID(idProductValue());
    if (!row) return false;
    bool complete = true;
    for (const std::string& name : row->files) {
        std::optional<std::string> path = catalogue::resourcePath(name);
        std::error_code ec;
        const bool present = path && std::filesystem::is_regular_file(*path, ec) &&
                             std::filesystem::file_size(*path, ec) > 0 && !ec && std::ifstream(*path).good();
        if (!present) {
            SysLog("delivered file \"%s\" is missing, empty or unreadable", name.c_str());
            complete = false;
        }
    }
    return complete;
}

// ---------------------------------------------------------------------------------------------------------
// S-record images

std::optional<srec::FirmwareImage> ZVUSBPrinterOVN::firmwareBlob() {
    std::optional<std::vector<std::string>> files = filenamesForUse();
    ovn::DeviceInfoDict list;
    if (files) list.set(ovn::cFirmwareFilenames, *files);
    std::optional<srec::FirmwareImage> image = srec::firmwareBlob(list, srec::kFrameHeaderLength);
    if (!image) return std::nullopt;

    // The image that goes out must be the very file that was verified: a file replaced since the archive check
    // is refused here rather than sent.
    const catalogue::CatalogueRow* row = catalogue::rowForProductID(idProductValue());
    if (row && files && !files->empty() && files->front() == row->firmwareFile()) {
        Text hash = verifyBlob(image->payload().first(image->fileLength()));
        if (!hash || row->hashes.empty() || *hash != row->hashes.front()) {
            SysLog("firmware file \"%s\" changed since it was verified", files->front().c_str());
            SysLog("Bad firmware file! Verification failed!");
            return std::nullopt;
        }
    }
    return image;
}

bool ZVUSBPrinterOVN::verifyMotorolaSFile(std::span<const uint8_t> bytes) { return srec::verifyMotorolaSFile(bytes); }

bool ZVUSBPrinterOVN::verifyMotorolaSFile(const std::filesystem::path& path) {
    return srec::verifyMotorolaSFile(path);
}

bool ZVUSBPrinterOVN::verifySRecData(std::span<const uint8_t> bytes) { return srec::verifySRecData(bytes); }

std::optional<std::vector<uint8_t>> ZVUSBPrinterOVN::paddedData(std::optional<std::vector<uint8_t>> bytes) {
    return srec::paddedData(std::move(bytes));
}
