// The firmware catalogue of the vendor printer class: for every supported model, the firmware file and the
// colour-table files delivered with the application, the expected file hash of each, and the checks that
// select, verify and record them for one printer.
//
// Functions here take what they need from the printer (its product ID, the name of its class, its
// device-info dictionary, its way of recording the file list) as arguments, so that the printer class wraps
// each of them as the instance operation of the same name.
//
// File hash: the lowercase hex of 33 bytes, the 32-byte HMAC-SHA256 of the whole file keyed with the name of
// the printer object's class (UTF-8, no terminator), followed by one zero byte: 66 characters ending in "00".
//
// Files are found among the delivered data (ovn::Bundle) by their exact catalogue name.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ovn {

class DeviceInfoDict;

// Device-info dictionary keys of the catalogue.
inline constexpr const char cFirmwareFilenames[] = "firmwareFilenames";  // the row's file list
inline constexpr const char cFirmwareFileHashes[] = "firmwareFileHash";  // the row's hash list

namespace OVNFirmwareCatalogue {

// The class name of the vendor printer class: the key of every expected hash in the catalogue.
inline constexpr std::string_view kPrinterClassName = "ZVUSBPrinterOVN";

struct CatalogueRow {
    uint16_t productID = 0;
    std::string model;                // "PL15", "PL25 duplex", ...
    std::string pictureName;          // the model picture among the delivered data, without ".png"
    std::vector<std::string> files;   // the firmware file, then the colour tables in upload order
    std::vector<std::string> hashes;  // one expected file hash per file, same order

    const std::string& firmwareFile() const { return files.front(); }
    // Everything after the firmware file.
    std::vector<std::string> colorTableFiles() const { return {files.begin() + 1, files.end()}; }
};

// Every row, in product ID order.
const std::vector<CatalogueRow>& catalogue();
// The row of a product ID, or nothing for a printer the catalogue does not know.
const CatalogueRow* rowForProductID(uint16_t productID);
// The row of a model name as the catalogue writes it ("PL-MV1", "PL25 duplex"), compared exactly.
const CatalogueRow* rowForModel(std::string_view model);

// Two lowercase hex digits per byte, no separators.
std::string asciiHexForData(std::span<const uint8_t> bytes);

// The file hash of some contents; nothing for empty contents.
std::optional<std::string> verifyBlob(std::string_view hmacKey, std::span<const uint8_t> contents);

// A catalogue file name split into resource name and type at its last dot ("PL15 01.61.fw": "PL15 01.61",
// "fw") and looked up among the delivered data; nothing when it is not there.
std::optional<std::string> resourcePath(const std::string& fileName);

// A problem with a delivered file that the user can act on: one line naming the file, what is wrong with it
// ("missing", "empty", "unreadable", "wrong hash", "bad S-record in line 12") and the resource folder searched,
// saying so when OVN_RESOURCE_DIR names a folder that does not exist. System log and, also without -v, standard
// error; once per text.
void reportResourceProblem(const std::string& fileName, const std::string& problem);
// "resource folder searched: DIR" and, when OVN_RESOURCE_DIR names a folder that does not exist, that too.
std::string resourceFolderText();
// What keeps a delivered file from use ("missing", "unreadable", "empty"), nothing when it can be read.
std::optional<std::string> resourceProblem(const std::string& fileName);

struct FileHash {
    enum class Status {
        Hashed,      // hash holds the file hash
        Empty,       // the file was read but has no contents: no hash (compares as the empty text)
        NotFound,    // not among the delivered data
        Unreadable,  // found but could not be read
    };
    Status status = Status::NotFound;
    std::string hash;
    bool wasRead() const { return status == Status::Hashed || status == Status::Empty; }
};

// Reads a file and computes its file hash in one pass, without holding the file in memory.
FileHash fileHashAtPath(std::string_view hmacKey, const std::string& path);
// The same for a catalogue file name among the delivered data.
FileHash fileHashForResource(std::string_view hmacKey, const std::string& fileName);

// The archive check.
//   Logs "switching on productID 0x%x". Without a catalogue row answers false and changes nothing.
//   Otherwise hands the row's file list to setFilenames, stores the hash list under "firmwareFileHash" and
//   checks every file in order: a file that is missing or unreadable is skipped (no verdict, the overall
//   verdict unchanged); every file that was read gets its verdict stored as a boolean under its own name (an
//   empty file has no hash and fails); the first failing file ends the check with false.
// The answer is true when at least one file was read and every file that was read matched its hash.
bool verifyFirmwareArchive(uint16_t productID, std::string_view hmacKey, DeviceInfoDict& info,
                           const std::function<void(const std::vector<std::string>&)>& setFilenames);

// A file name without its extension (the part from the last dot of its last path component on).
std::string nameWithoutExtension(std::string_view fileName);

// The recorded file list, or nothing when none is recorded.
std::optional<std::vector<std::string>> recordedFilenames(const DeviceInfoDict& info);

// The offered firmware version: the first name of the list without its extension; nothing for no list or
// an empty one. {"PL15 01.61.fw", ...} gives "PL15 01.61".
std::optional<std::string> offeredFirmwareVersion(const std::optional<std::vector<std::string>>& filenames);

// newFirmwareVersion: reads the recorded list; if there is none, runs verifyArchive (which records the list,
// possibly later, on the main thread) and reads it again; then the offered firmware version of the list.
std::optional<std::string> newFirmwareVersion(const DeviceInfoDict& info, const std::function<bool()>& verifyArchive);

// Reads the leading decimal number of a text the way the platform's text-to-double conversion does: leading
// white space is skipped, then an optional sign, digits with an optional decimal point and an optional
// exponent; the longest such number is used and the rest ignored; no number gives 0.
double doubleValue(std::string_view text);

// The version number of a firmware version text: the last piece after splitting at every blank, read with
// doubleValue. "PL15 01.61" gives 1.61, "PL25DUP 1.40PRN" gives 1.4, no text gives 0.
double versionNumber(std::optional<std::string_view> versionText);

// availableFirmwareVersion: the version number of the offered firmware version.
double availableFirmwareVersion(const std::optional<std::string>& newFirmwareVersion);
// installedFirmwareVersion: the version number of the firmware version the printer reported.
double installedFirmwareVersion(const std::optional<std::string>& firmwareVersion);

// A version number as a message shows it: "%.2f" ("1.70"); a number that does not read as a version (huge,
// not finite) is shown as the printer's own text, as it was given.
std::string versionForMessage(double version, const std::optional<std::string>& versionText);

// Whether the printer runs a strictly newer firmware than the one offered (equal versions may be installed).
bool installedIsNewerThanOffered(double installed, double offered);

}  // namespace OVNFirmwareCatalogue
}  // namespace ovn
