#include "Classes/OVNFirmwareCatalogue.h"

#include <sys/stat.h>
#include <filesystem>
#include <cstdlib>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/Bundle.h"
#include "platform/Crypto.h"
#include "platform/SystemLog.h"
#include "platform/Value.h"

namespace ovn::OVNFirmwareCatalogue {

namespace {

// Expected file hashes of the delivered data (key: kPrinterClassName). The PL25 duplex row uses the PL25
// colour tables and therefore their hashes.
constexpr const char* kHashPL15Firmware =
    "0be88d1c36f2bc005339da36f21d335aabee8c237b7869964dfd0caf53112ea900";
constexpr const char* kHashPL15Table300 =
    "fbf3dcc7289c931a78af73568a2e1229da309577fad29fd6debe754c3db4b81900";
constexpr const char* kHashPL15Table600 =
    "d491ada7fd4997404cb4d249ef37766a8eaa84384636f7f3c3e45fe072f5b40f00";
constexpr const char* kHashPL25Firmware =
    "915fbb11d16fe56b2eb7adc03cd8c8bf9f7a5cc05ad776fbb9249d4f2bff404700";
constexpr const char* kHashPL25Table300 =
    "362d82fc265d95772d93383a53c92dc87077984b26a0b5b8a92a5866d128dcf700";
constexpr const char* kHashPL25Table600 =
    "ed76e4a1cf2ba2af178508e36e08d0db26c7351b4e90f4b31ac1b6a5a3ed0a0400";
constexpr const char* kHashMV1Firmware =
    "8147aefa7eab4bac87d6260e5dc83698c8fc802edfe8b0d858c76e476699c83000";
constexpr const char* kHashMV1Table300 =
    "92f7de57a2969cb6efc113611f84885c6388b43b5102789fbcf14511d4aa301400";
constexpr const char* kHashMV1Table600 =
    "b5b1d2c1fcbfad1c8b956860f496167c3e9895481745d6bb2807766853a212a000";
constexpr const char* kHashPL25DupFirmware =
    "6b8a9c0f002b92e17c07f64a43848f354580554e4045c8632d87f581fda95c2700";
constexpr const char* kHashPL35Firmware =
    "0cab6122731f4825c8679f37457c176f5346fbcf760e79b6bbbf5911e3566a0800";
constexpr const char* kHashPL35Table300 =
    "775b5f2c6c926ef1f22dec28397a307fff9b59876172e40ef12e41b5f93d40c800";
constexpr const char* kHashPL35Table600 =
    "ba53998b11aabf142a3e078e8594730a0835ded72331ce8edf33ed2a89b83bb600";
constexpr const char* kHashPL35Table610 =
    "56ed4c4c580d0fb8527350b3ab80aa59036cd8a25492521493dde6f7e66f903700";
constexpr const char* kHashPL45Firmware =
    "ccfdc154d88ed60a379eeb2172004fc83bc142ea2588f61687b6c052a8e21af800";
constexpr const char* kHashPL45SD300 =
    "7dba2a535fedec1f67931a8bc3957548b81947c6f9108227cde5de8261dc73b300";
constexpr const char* kHashPL45PP300 =
    "9af749837ea61f7017e029ea554e38a024c7609d361f734a82d956e6050bc38400";
constexpr const char* kHashPL45SD600 =
    "133214edfc8e0752143f58b72c43c8792e51ca46c6fff4ed1886a2f4e67ac7f800";
constexpr const char* kHashPL45PP600 =
    "5aef517480fd10e38e822c543d5520a594a3dd055248a532892ace45dd28fbf500";
constexpr const char* kHashPL45SD610 =
    "ed59cc8c34ef4dcb0c65c6dcfc85c60481997bf3558e0d6e43bb9e1d4f05045300";
constexpr const char* kHashPL45PP610 =
    "a367fe1294de34b2a73555d836125c76df0717027e8cb9b491405799ebe54c8100";
constexpr const char* kHashPL45SD620 =
    "8291bb9a93b4d0e87336957a0575157e08c5ea49d5efca5aa235fbbde6eee85700";
constexpr const char* kHashPL45PP620 =
    "5ce268cdabd99088608b44f961d687a8ba852630c79e2768a7807fcf5e046e9800";

std::vector<CatalogueRow> makeCatalogue() {
    return {
        {0x0101, "PL15", "OVN_PL_Series",
         {"PL15 01.61.fw", "PL15_300_0161.cwd", "PL15_600_0161.cwd"},
         {kHashPL15Firmware, kHashPL15Table300, kHashPL15Table600}},
        {0x0102, "PL25", "OVN_PL_Series",
         {"PL25 01.30.fw", "PL25_300_0130.cwd", "PL25_600_0130.cwd"},
         {kHashPL25Firmware, kHashPL25Table300, kHashPL25Table600}},
        {0x0103, "PL-MV1", "OVN_MV_Series",
         {"PL-MV1 02.06.fw", "PL-MV1_300_0201.cwd", "PL-MV1_600_0100.cwd"},
         {kHashMV1Firmware, kHashMV1Table300, kHashMV1Table600}},
        {0x0106, "PL25 duplex", "OVN_PL_Series",
         {"PL25DUP 1.40PRN.fw", "PL25_300_0130.cwd", "PL25_600_0130.cwd"},
         {kHashPL25DupFirmware, kHashPL25Table300, kHashPL25Table600}},
        {0x5C01, "PL35", "PL35A_LSide",
         {"PL35 01.52.fw", "PL35_300_0111.cwd", "PL35_600_0111.cwd", "PL35_610_0111.cwd"},
         {kHashPL35Firmware, kHashPL35Table300, kHashPL35Table600, kHashPL35Table610}},
        {0x5D01, "PL45", "PL45",
         {"PL45 01.05.fw", "PL45_SD_300_0101.cwd", "PL45_PP_300_0101.cwd", "PL45_SD_600_0101.cwd",
          "PL45_PP_600_0101.cwd", "PL45_SD_610_0101.cwd", "PL45_PP_610_0101.cwd", "PL45_SD_620_0101.cwd",
          "PL45_PP_620_0101.cwd"},
         {kHashPL45Firmware, kHashPL45SD300, kHashPL45PP300, kHashPL45SD600, kHashPL45PP600, kHashPL45SD610,
          kHashPL45PP610, kHashPL45SD620, kHashPL45PP620}},
    };
}

std::string fileHashText(const Sha256Digest& digest) {
    std::array<uint8_t, 33> bytes{};
    std::copy(digest.begin(), digest.end(), bytes.begin());
    bytes[32] = 0;
    return asciiHexForData(bytes);
}

bool isWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

const std::vector<CatalogueRow>& catalogue() {
    static const std::vector<CatalogueRow> rows = makeCatalogue();
    return rows;
}

const CatalogueRow* rowForProductID(uint16_t productID) {
    for (const CatalogueRow& row : catalogue())
        if (row.productID == productID) return &row;
    return nullptr;
}

const CatalogueRow* rowForModel(std::string_view model) {
    for (const CatalogueRow& row : catalogue())
        if (row.model == model) return &row;
    return nullptr;
}

std::string asciiHexForData(std::span<const uint8_t> bytes) { return toHex(bytes.data(), bytes.size()); }

std::optional<std::string> verifyBlob(std::string_view hmacKey, std::span<const uint8_t> contents) {
    if (contents.empty()) return std::nullopt;
    return fileHashText(hmacSha256(hmacKey, contents.data(), contents.size()));
}

std::optional<std::string> resourcePath(const std::string& fileName) {
    // Name and type split at the last dot and joined again: the resource is the file of exactly this name.
    const size_t dot = fileName.rfind('.');
    const std::string name = dot == std::string::npos ? fileName : fileName.substr(0, dot);
    const std::string type = dot == std::string::npos ? std::string() : fileName.substr(dot + 1);
    if (name.empty()) return std::nullopt;
    return Bundle::pathForResource(type.empty() ? name : name + "." + type);
}

FileHash fileHashAtPath(std::string_view hmacKey, const std::string& path) {
    FileHash result;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        result.status = FileHash::Status::NotFound;
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.status = FileHash::Status::Unreadable;
        return result;
    }
    std::optional<Sha256Digest> digest = hmacSha256File(hmacKey, path);
    if (!digest) {
        result.status = FileHash::Status::Unreadable;
        return result;
    }
    if (st.st_size == 0) {
        result.status = FileHash::Status::Empty;
        return result;
    }
    result.status = FileHash::Status::Hashed;
    result.hash = fileHashText(*digest);
    return result;
}

FileHash fileHashForResource(std::string_view hmacKey, const std::string& fileName) {
    std::optional<std::string> path = resourcePath(fileName);
    if (!path) return FileHash{};
    return fileHashAtPath(hmacKey, *path);
}

bool verifyFirmwareArchive(uint16_t productID, std::string_view hmacKey, DeviceInfoDict& info,
                           const std::function<void(const std::vector<std::string>&)>& setFilenames) {
    SysLog("switching on productID 0x%x", static_cast<unsigned>(productID));
    const CatalogueRow* row = rowForProductID(productID);
    if (!row) return false;
    if (setFilenames) setFilenames(row->files);
    info.set(cFirmwareFileHashes, row->hashes);

    bool verdict = false;
    for (size_t i = 0; i < row->files.size(); ++i) {
        const std::string& name = row->files[i];
        FileHash file = fileHashForResource(hmacKey, name);
        if (file.status == FileHash::Status::NotFound) reportResourceProblem(name, "missing");
        if (file.status == FileHash::Status::Unreadable) reportResourceProblem(name, "unreadable");
        if (!file.wasRead()) continue;
        const std::string expected = i < row->hashes.size() ? row->hashes[i] : std::string();
        verdict = file.status == FileHash::Status::Hashed && expected == file.hash;
        info.set(name, verdict);
        if (!verdict) {
            reportResourceProblem(name, file.status == FileHash::Status::Empty ? "empty" : "wrong hash");
            return false;
        }
    }
    return verdict;
}

std::string nameWithoutExtension(std::string_view fileName) {
    const size_t slash = fileName.rfind('/');
    const size_t dot = fileName.rfind('.');
    const size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    // A leading dot starts a hidden name, not an extension.
    if (dot == std::string_view::npos || dot <= start) return std::string(fileName);
    return std::string(fileName.substr(0, dot));
}

std::optional<std::vector<std::string>> recordedFilenames(const DeviceInfoDict& info) {
    std::optional<Value> value = info.get(cFirmwareFilenames);
    if (!value) return std::nullopt;
    if (auto list = std::get_if<std::vector<std::string>>(&*value)) return *list;
    return std::nullopt;
}

std::optional<std::string> offeredFirmwareVersion(const std::optional<std::vector<std::string>>& filenames) {
    if (!filenames || filenames->empty()) return std::nullopt;
    return nameWithoutExtension(filenames->front());
}

std::optional<std::string> newFirmwareVersion(const DeviceInfoDict& info, const std::function<bool()>& verifyArchive) {
    std::optional<std::vector<std::string>> list = recordedFilenames(info);
    if (!list) {
        if (verifyArchive) verifyArchive();
        list = recordedFilenames(info);
    }
    return offeredFirmwareVersion(list);
}

double doubleValue(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isWhiteSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const size_t mantissa = i;
    size_t intDigits = 0, fractionZeros = 0, digits = 0;
    bool significant = false;
    while (i < text.size() && isDigit(text[i])) {
        if (text[i] != '0') significant = true;
        if (significant) ++intDigits;
        ++i, ++digits;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && isDigit(text[i])) {
            if (text[i] != '0') significant = true;
            if (!significant) ++fractionZeros;
            ++i, ++digits;
        }
    }
    if (digits == 0) return 0.0;
    long exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        bool expNegative = false;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) expNegative = text[j++] == '-';
        if (j < text.size() && isDigit(text[j])) {
            while (j < text.size() && isDigit(text[j])) {
                if (exponent < 100000) exponent = exponent * 10 + (text[j] - '0');
                ++j;
            }
            if (expNegative) exponent = -exponent;
            i = j;
        }
    }
    double value = 0.0;
    const std::string_view number = text.substr(mantissa, i - mantissa);
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        if (!significant) {
            value = 0.0;
        } else {
            // The decimal order of magnitude decides between overflow and underflow.
            long order = intDigits > 0 ? static_cast<long>(intDigits) + exponent
                                       : exponent - static_cast<long>(fractionZeros);
            value = order > 0 ? HUGE_VAL : 0.0;
        }
    } else if (ec != std::errc() || end != number.data() + number.size()) {
        return 0.0;
    }
    return negative ? -value : value;
}

double versionNumber(std::optional<std::string_view> versionText) {
    if (!versionText) return 0.0;
    const size_t blank = versionText->rfind(' ');
    return doubleValue(blank == std::string_view::npos ? *versionText : versionText->substr(blank + 1));
}

double availableFirmwareVersion(const std::optional<std::string>& newFirmwareVersion) {
    return versionNumber(newFirmwareVersion);
}

double installedFirmwareVersion(const std::optional<std::string>& firmwareVersion) {
    return versionNumber(firmwareVersion);
}

bool installedIsNewerThanOffered(double installed, double offered) { return installed > offered; }

}  // namespace ovn::OVNFirmwareCatalogue

namespace ovn::OVNFirmwareCatalogue {

std::string versionForMessage(double version, const std::optional<std::string>& versionText) {
    if (std::isfinite(version) && std::fabs(version) < 1e6) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", version);
        return text;
    }
    return versionText.value_or("");
}

}  // namespace ovn::OVNFirmwareCatalogue

namespace ovn::OVNFirmwareCatalogue {

std::string resourceFolderText() {
    std::string text = "resource folder searched: " + Bundle::resourceDirectory();
    std::error_code ec;
    if (const char* env = std::getenv("OVN_RESOURCE_DIR"); env && *env && !std::filesystem::is_directory(env, ec))
        text += std::string(" (OVN_RESOURCE_DIR names \"") + env + "\", a folder that does not exist)";
    return text;
}

void reportResourceProblem(const std::string& fileName, const std::string& problem) {
    WarnUser("delivered file \"" + fileName + "\": " + problem + "; " + resourceFolderText());
}

std::optional<std::string> resourceProblem(const std::string& fileName) {
    std::optional<std::string> path = resourcePath(fileName);
    if (!path) return "missing";
    struct stat st {};
    if (::stat(path->c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path->c_str(), R_OK) != 0)
        return "unreadable";
    if (st.st_size == 0) return "empty";
    return std::nullopt;
}

}  // namespace ovn::OVNFirmwareCatalogue
