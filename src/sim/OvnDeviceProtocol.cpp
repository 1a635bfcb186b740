#include "sim/OvnDeviceProtocol.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace ovn::sim {

namespace {

using C = DeviceCommand;
using P = PayloadRule;
using K = CommandKind;

const std::vector<DeviceCommandInfo> kTable = {
    {C::Status, "STATUS", "", P::None, K::Query},
    {C::FirmwareVersion, "INFO  ", "FVER", P::None, K::Query},
    {C::SerialNumber, "INFO  ", "SERIAL_NUMBER", P::None, K::Query},
    {C::Media, "INFO  ", "MEDIA", P::None, K::Query},
    {C::FreeBuffer, "INFO  ", "FREE_PBUFFER", P::None, K::Query},
    {C::MediaQuantity, "INFO  ", "MQTY", P::None, K::Query},
    {C::MultiCut, "IMAGE ", "MULTICUT", P::Fixed8, K::Write},
    {C::Overcoat, "CNTRL ", "OVERCOAT", P::Fixed8, K::Write},
    {C::YPlane, "IMAGE ", "YPLANE", P::Any, K::Write},
    {C::MPlane, "IMAGE ", "MPLANE", P::Any, K::Write},
    {C::CPlane, "IMAGE ", "CPLANE", P::Any, K::Write},
    {C::Cutter, "CNTRL ", "CUTTER", P::Fixed8, K::Write},
    {C::Start, "CNTRL ", "START", P::None, K::Write},
    {C::TableClear, "TBL_CL", "", P::None, K::Write},
    {C::TableWriteData, "TBL_WT", "CTRLD_UPDATE_CW", P::Any, K::Write},
    {C::TableVersion, "TBL_RD", "Version", P::None, K::Query},
    {C::TableWriteVersion, "TBL_WT", "Version", P::Any, K::Write},
    {C::TableChecksum, "MNT_RD", "CTRLD_CHKSUM", P::None, K::Query},
    {C::Cwd300Version, "TBL_RD", "CWD300_Version", P::NoneOrMedia, K::Query},
    {C::Cwd600Version, "TBL_RD", "CWD600_Version", P::NoneOrMedia, K::Query},
    {C::Cwd610Version, "TBL_RD", "CWD610_Version", P::NoneOrMedia, K::Query},
    {C::Cwd620Version, "TBL_RD", "CWD620_Version", P::NoneOrMedia, K::Query},
    {C::Cwd300Checksum, "TBL_RD", "CWD300_Checksum", P::NoneOrMedia, K::Query},
    {C::Cwd600Checksum, "TBL_RD", "CWD600_Checksum", P::NoneOrMedia, K::Query},
    {C::Cwd610Checksum, "TBL_RD", "CWD610_Checksum", P::NoneOrMedia, K::Query},
    {C::Cwd620Checksum, "TBL_RD", "CWD620_Checksum", P::NoneOrMedia, K::Query},
    {C::CounterLife, "MNT_RD", "COUNTER_LIFE", P::None, K::Query},
    {C::CounterA, "MNT_RD", "COUNTER_A", P::None, K::Query},
    {C::CounterB, "MNT_RD", "COUNTER_B", P::None, K::Query},
    {C::CounterClear, "MNT_WT", "COUNTER_CLR", P::Fixed4, K::Write},
    {C::CounterP, "MNT_RD", "COUNTER_P", P::None, K::Query},
    {C::CounterPSet, "MNT_WT", "COUNTERP_SET", P::Fixed8, K::Write},
    {C::CounterMatte, "MNT_RD", "COUNTER_MATTE", P::None, K::Query},
    {C::CounterM, "MNT_RD", "COUNTER_M", P::None, K::Query},
    {C::FlashRewrite, "FW_UPD", "FLASH_REWRITE", P::None, K::Write},
    {C::FlashProgram, "FW_UPD", "FLASH_PROGRAM", P::Any, K::Write},
    {C::ISerialWrite, "MNT_WT", "USB_ISERI_SET", P::Fixed4, K::Write},
    {C::ISerialRead, "MNT_RD", "USB_ISERI_SET", P::None, K::Query},
};

constexpr size_t kHeaderSize = 32;
constexpr size_t kCategoryOffset = 2;
constexpr size_t kCategorySize = 6;
constexpr size_t kSubcommandOffset = 8;
constexpr size_t kSubcommandSize = 16;
constexpr size_t kLengthOffset = 24;
constexpr size_t kLengthSize = 8;

std::string trimRight(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// Printable form of raw bytes for error texts: printable ASCII as is, anything else as \xNN.
std::string printable(const uint8_t* data, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        uint8_t b = data[i];
        if (b >= 0x20 && b < 0x7F) {
            out.push_back(static_cast<char>(b));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", b);
            out += buf;
        }
    }
    return out;
}

FrameParseResult fail(std::string why) {
    FrameParseResult r;
    r.error = std::move(why);
    return r;
}

}  // namespace

const std::vector<DeviceCommandInfo>& deviceCommandTable() { return kTable; }

const DeviceCommandInfo& commandInfo(DeviceCommand command) {
    for (const auto& info : kTable) {
        if (info.command == command) return info;
    }
    return kTable.front();  // not reached: every enumerator has a row
}

std::string commandName(DeviceCommand command) {
    const auto& info = commandInfo(command);
    std::string name = trimRight(info.category);
    if (*info.subcommand) {
        name += ' ';
        name += info.subcommand;
    }
    return name;
}

std::optional<DeviceCommand> commandByName(std::string_view name, bool* ambiguous) {
    if (ambiguous) *ambiguous = false;
    std::string wanted = upper(name);
    std::string category;
    std::string sub = wanted;
    size_t sep = wanted.find_first_of(". ");
    if (sep != std::string::npos) {
        category = wanted.substr(0, sep);
        sub = wanted.substr(sep + 1);
    }
    std::optional<DeviceCommand> found;
    int matches = 0;
    for (const auto& info : kTable) {
        std::string cat = upper(trimRight(info.category));
        std::string word = upper(info.subcommand);
        bool match;
        if (sep != std::string::npos) {
            match = cat == category && word == sub;
        } else {
            match = word.empty() ? cat == sub : word == sub;
        }
        if (match) {
            found = info.command;
            ++matches;
        }
    }
    if (matches > 1) {
        if (ambiguous) *ambiguous = true;
        return std::nullopt;
    }
    return found;
}

// The payload length an eight-digit length field holds; nothing when it holds anything else.
static std::optional<size_t> lengthFieldDigits(const uint8_t* field) {
    size_t declared = 0;
    for (size_t i = 0; i < kLengthSize; ++i) {
        if (field[i] < '0' || field[i] > '9') return std::nullopt;
        declared = declared * 10 + static_cast<size_t>(field[i] - '0');
    }
    return declared;
}

std::optional<size_t> announcedFrameLength(const uint8_t* data, size_t length) {
    if (length < kHeaderSize || data[0] != 0x1B || data[1] != 'P') return std::nullopt;
    auto declared = lengthFieldDigits(data + kLengthOffset);
    if (!declared) return std::nullopt;
    return kHeaderSize + *declared;
}

FrameParseResult parseCommandFrame(const uint8_t* data, size_t length) {
    if (data == nullptr || length < kHeaderSize) {
        return fail("frame of " + std::to_string(length) + " bytes is shorter than the 32-byte header");
    }
    if (data[0] != 0x1B || data[1] != 'P') {
        return fail("frame does not start with ESC 'P' (starts with " + printable(data, 2) + ")");
    }

    std::string category(reinterpret_cast<const char*>(data + kCategoryOffset), kCategorySize);
    bool knownCategory = std::any_of(kTable.begin(), kTable.end(),
                                     [&](const DeviceCommandInfo& i) { return category == i.category; });
    if (!knownCategory) {
        return fail("unknown category word '" + printable(data + kCategoryOffset, kCategorySize) + "'");
    }

    // The subcommand word: left-aligned, letters, digits and '_', then only blanks.
    const uint8_t* subField = data + kSubcommandOffset;
    size_t wordLength = 0;
    while (wordLength < kSubcommandSize && subField[wordLength] != ' ') {
        uint8_t c = subField[wordLength];
        if (!(std::isalnum(c) || c == '_')) {
            return fail("subcommand field holds an invalid byte: '" + printable(subField, kSubcommandSize) + "'");
        }
        ++wordLength;
    }
    for (size_t i = wordLength; i < kSubcommandSize; ++i) {
        if (subField[i] != ' ') {
            return fail("subcommand field is not a left-aligned word filled with blanks: '" +
                        printable(subField, kSubcommandSize) + "'");
        }
    }
    std::string subcommand(reinterpret_cast<const char*>(subField), wordLength);

    const DeviceCommandInfo* info = nullptr;
    for (const auto& row : kTable) {
        if (category == row.category && subcommand == row.subcommand) {
            info = &row;
            break;
        }
    }
    if (!info) {
        return fail("unknown command '" + trimRight(category) + (subcommand.empty() ? "" : " " + subcommand) + "'");
    }

    // The length field: eight blanks (no payload) or eight decimal digits.
    const uint8_t* lengthField = data + kLengthOffset;
    size_t declared = 0;
    bool blank = std::all_of(lengthField, lengthField + kLengthSize, [](uint8_t c) { return c == ' '; });
    if (!blank) {
        auto digits = lengthFieldDigits(lengthField);
        if (!digits) {
            return fail("length field '" + printable(lengthField, kLengthSize) + "' is neither eight digits nor blank");
        }
        declared = *digits;
    }
    size_t actual = length - kHeaderSize;
    if (declared != actual) {
        return fail("length field announces " + std::to_string(declared) + " payload bytes but " +
                    std::to_string(actual) + " followed");
    }

    std::string name = commandName(info->command);
    switch (info->payload) {
        case PayloadRule::None:
            if (actual != 0) return fail(name + " takes no payload, got " + std::to_string(actual) + " bytes");
            break;
        case PayloadRule::Fixed4:
            if (actual != 4) return fail(name + " takes a 4-byte payload, got " + std::to_string(actual) + " bytes");
            break;
        case PayloadRule::Fixed8:
            if (actual != 8) return fail(name + " takes an 8-byte payload, got " + std::to_string(actual) + " bytes");
            break;
        case PayloadRule::NoneOrMedia:
            if (actual != 0 && actual != 4) {
                return fail(name + " takes no payload or a 4-byte media selector, got " + std::to_string(actual) +
                            " bytes");
            }
            break;
        case PayloadRule::Any:
            break;
    }
    FrameParseResult result;
    result.frame = ReceivedFrame{info->command, std::vector<uint8_t>(data + kHeaderSize, data + length)};
    return result;
}

std::vector<uint8_t> buildReply(std::string_view text) {
    char header[16];
    std::snprintf(header, sizeof header, "%08zu", text.size() + 1);
    std::vector<uint8_t> out(header, header + 8);
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0x0D);
    return out;
}

uint64_t fnv1a64(const uint8_t* data, size_t length) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < length; ++i) {
        h ^= data[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

}  // namespace ovn::sim
