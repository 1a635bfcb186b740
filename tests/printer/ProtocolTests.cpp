// The pure side of the vendor protocol: frames byte for byte, the reply reader over scripted reads, the
// status vocabulary and the per-model tables.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "Classes/OVNProtocol.h"

using namespace ovn::protocol;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes bytesOf(std::string_view s) { return {s.begin(), s.end()}; }
std::string textOf(const Bytes& v, size_t from, size_t len) {
    return std::string(v.begin() + from, v.begin() + from + len);
}
// The text's bytes followed by zero bytes up to `size`.
Bytes zeroPadded(std::string_view text, size_t size) {
    Bytes b = bytesOf(text);
    b.resize(size, 0);
    return b;
}

// A bulk IN pipe that answers each read with the next scripted chunk (cut to the size asked for), or fails.
struct ScriptedPipe {
    struct Step {
        IOReturn status = kIOReturnSuccess;
        Bytes bytes;
        uint32_t claimed = UINT32_MAX;  // bytes to report received (default: what was copied)
    };
    std::deque<Step> steps;
    std::vector<uint32_t> asked;  // the size of every read issued

    ScriptedPipe(std::initializer_list<std::string_view> chunks = {}) {
        for (auto c : chunks) add(c);
    }
    PipeReadFn fn() {
        return [this](uint8_t* buf, uint32_t* size) -> IOReturn {
            asked.push_back(*size);
            if (steps.empty()) return *size = 0, kIOReturnTimeout;
            Step s = steps.front();
            steps.pop_front();
            uint32_t n = std::min<uint32_t>(*size, static_cast<uint32_t>(s.bytes.size()));
            if (n) std::memcpy(buf, s.bytes.data(), n);
            *size = s.claimed == UINT32_MAX ? n : s.claimed;
            return s.status;
        };
    }
    void add(std::string_view bytes, IOReturn status = kIOReturnSuccess) { steps.push_back({status, bytesOf(bytes)}); }
    ReplyReadResult read() { return readReply(fn()); }
};

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Command table and frames

TEST(OVNProtocolCommands, TableTextsAndPayloadFieldSizes) {
    for (auto [code, text] : {std::pair{0u, "STATUS"}, {1u, "INFO  FVER"}, {12u, "CNTRL OVERCOAT"}, {19u, "TBL_CL"},
                              {21u, "TBL_RDVersion"}, {22u, "TBL_WTVersion"}, {31u, "TBL_RDCWD620_Checksum"},
                              {42u, "MNT_WTUSB_ISERI_SET"}, {43u, "MNT_RDUSB_ISERI_SET"}})
        EXPECT_EQ(stringForCommandCode(code), text) << code;
    for (uint32_t code : {3u, 5u, 6u, 9u, 10u, 18u, 44u, 1000u, 0xFFFFFFFFu})
        EXPECT_FALSE(stringForCommandCode(code).has_value()) << code;
    for (uint32_t code = 0; code <= 43; ++code)  // every listed command fits in front of the length field
        if (auto t = stringForCommandCode(code)) {
            EXPECT_LE(t->size(), 22u) << code;
        }

    for (uint32_t code : {11u, 12u, 16u, 37u}) EXPECT_EQ(payloadFieldSize(code, 3), 8u) << code;
    for (uint32_t code : {35u, 42u}) EXPECT_EQ(payloadFieldSize(code, 0), 4u) << code;
    for (uint32_t code : {13u, 14u, 15u, 20u, 22u, 24u, 27u, 31u, 41u}) EXPECT_EQ(payloadFieldSize(code, 77), 77u);
    for (uint32_t code : {0u, 1u, 19u, 21u, 23u, 32u, 43u, 3u, 99u}) EXPECT_EQ(payloadFieldSize(code, 77), 0u);
}

TEST(OVNProtocolFrames, FramesByteForByte) {
    const uint8_t three[] = {'x', 'y', 'z'}, eight[] = {'1', '2', '3', '4', '5', '6', '7', '8'};
    const uint8_t extra[] = {'0', '0', '0', '1'};
    const auto reset = counterResetPayload('A');
    ASSERT_TRUE(reset);
    const std::string blank8(8, ' ');
    const struct {
        const char* name;
        FrameBuildResult frame;
        std::string expected;
        std::vector<int> errors;
    } cases[] = {
        {"status query: no length field, no payload", buildCommandFrame(kCmdStatus, std::span<const uint8_t>()),
         "STATUS" + std::string(24, ' '), {}},
        {"FVER at offset 8", buildCommandFrame(kCmdFirmwareVersion, std::span<const uint8_t>()),
         "INFO  FVER            " + blank8, {}},
        {"media payload", buildCommandFrame(kCmdTableReadVersion620, commandPayloadForMediaSD()),
         "TBL_RDCWD620_Version  000000040001", {}},
        {"counter reset", buildCommandFrame(kCmdCounterClear, *reset),
         std::string("MNT_WTCOUNTER_CLR     00000004CA\r\0", 34), {}},
        {"unlisted code: blank command", buildCommandFrame(18, three), std::string(30, ' '),
         {kInternalErrorCommandText}},
        // A fixed payload field with a payload of another size carries zeros.
        {"fixed field, 3 bytes", buildCommandFrame(kCmdCounterClear, three),
         "MNT_WTCOUNTER_CLR     00000004" + std::string(4, '\0'), {}},
        {"fixed field, framed", buildCommandFrame(kCmdCounterClear, FramedPayload(three)),
         "MNT_WTCOUNTER_CLR     00000004" + std::string(4, '\0'), {}},
        {"fixed field, none", buildCommandFrame(kCmdCutter, std::span<const uint8_t>()),
         *stringForCommandCode(kCmdCutter) + std::string(22 - stringForCommandCode(kCmdCutter)->size(), ' ') +
             "00000008" + std::string(8, '\0'), {}},
        {"eight-byte field", buildCommandFrame(kCmdOvercoat, eight), "CNTRL OVERCOAT        0000000812345678", {}},
        {"code without field drops payload", buildCommandFrame(kCmdTableReadVersion, FramedPayload(extra)),
         "TBL_RDVersion         " + blank8, {}},
        {"adopted buffer", buildCommandFrame(kCmdTableWriteVersion, FramedPayload::adopt([] {
                                                 Bytes buf(32, 0);
                                                 buf.insert(buf.end(), {'a', 'b', 'c', 'd'});
                                                 return buf;
                                             }())),
         "TBL_WTVersion         00000004abcd", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.frame.sendable);
        EXPECT_EQ(c.frame.frame, bytesOf("\x1bP" + c.expected));
        EXPECT_EQ(c.frame.payloadFieldSize, c.frame.frame.size() - 32);
        EXPECT_EQ(c.frame.internalErrors, c.errors);
    }
}

TEST(OVNProtocolFrames, LargeUploadIsBuiltInPlaceAndOversizeIsNotSent) {
    auto p = FramedPayload::withPayloadSize(1'000'000);
    ASSERT_TRUE(p);
    p->payload()[0] = 'S';
    p->payload()[999'999] = 0x7E;
    const uint8_t* before = p->buffer().data();
    auto r = buildCommandFrame(kCmdFlashProgram, std::move(*p));
    ASSERT_TRUE(r.sendable);
    ASSERT_EQ(r.frame.size(), 1'000'032u);
    EXPECT_EQ(r.frame.data(), before) << "the payload was copied";
    EXPECT_EQ(textOf(r.frame, 2, 31), "FW_UPDFLASH_PROGRAM   01000000S");
    EXPECT_EQ(r.frame.back(), 0x7E);

    auto huge = buildCommandFrame(kCmdFlashProgram, Bytes(kMaxPayloadFieldSize + 1, 0x41));
    EXPECT_FALSE(huge.sendable);
    EXPECT_TRUE(huge.frame.empty());
    EXPECT_EQ(huge.internalErrors, std::vector<int>{kInternalErrorLengthField});
}

// ---------------------------------------------------------------------------------------------------------
// Replies

TEST(OVNProtocolReplies, BodiesWithAndWithoutCarriageReturn) {
    const struct {
        ScriptedPipe pipe;
        Bytes value;
        std::optional<std::string> text;
    } cases[] = {
        {{"00000006", "00000\r"}, bytesOf(std::string_view("00000\0", 6)), "00000"},  // the CR becomes the zero
        {{"00000009", "AB\rCD\rEF\r"}, bytesOf(std::string_view("AB\0", 3)), "AB"},   // the first CR ends the text
        {{"00000010", "PL15 01.55"}, zeroPadded("PL15 01.55", 256), "PL15 01.55"},  // no CR: the whole buffer
        {{"00000300", std::string(300, 'x')}, zeroPadded(std::string(300, 'x'), 301), std::string(300, 'x')},
        // A short body leaves header bytes behind its zero.
        {{"00000006", "ab"}, zeroPadded(std::string_view("ab\0" "00006", 8), 256), "ab"},
        // A header of zero reads as the empty text (a status of "Idle").
        {{"00000000", ""}, zeroPadded(std::string_view("\0" "0000000", 8), 256), ""},
        {{"00004096", std::string(4095, 'z') + "\r"}, zeroPadded(std::string(4095, 'z'), 4096), std::string(4095, 'z')},
    };
    for (auto c : cases) {
        const std::string header = textOf(c.pipe.steps.front().bytes, 0, 8);
        const size_t body = c.pipe.steps.back().bytes.size();
        SCOPED_TRACE(header);
        auto r = c.pipe.read();
        EXPECT_EQ(r.bodyBytes, body);
        ASSERT_EQ(r.outcome, ReplyOutcome::Value);
        ASSERT_TRUE(r.value);
        EXPECT_EQ(*r.value, c.value);
        EXPECT_EQ(replyText(r.value), c.text);
        EXPECT_FALSE(isEmptyReply(r.value));
        EXPECT_EQ(c.pipe.asked, (std::vector<uint32_t>{8, static_cast<uint32_t>(std::stoul(header))}));
    }
}

TEST(OVNProtocolReplies, HeadersThatAreRefusedOrOdd) {
    ScriptedPipe tooLong{"00004097", std::string(4097, 'z')};
    auto t = tooLong.read();
    EXPECT_EQ(t.outcome, ReplyOutcome::BodyTooLong);
    EXPECT_FALSE(t.value);
    EXPECT_EQ(tooLong.asked.size(), 1u) << "no body read after a refused header";

    const struct {
        const char* header;
        bool hasValue;
        uint32_t length;
    } cases[] = {
        {"        ", true, 0},             // blank: 0
        {"abcdefgh", true, 0},             // not a number: 0
        {"-0000001", false, 0xFFFFFFFFu},  // negative: huge
        {"    12  ", true, 12}, {"+0000003", true, 3}, {"12ab5678", true, 12}, {"99999999", false, 99999999u},
        {"3", true, 3},  // a header that arrives short is parsed from what arrived
    };
    for (const auto& c : cases) {
        ScriptedPipe pipe{c.header, "ab\r"};
        auto r = pipe.read();
        EXPECT_EQ(r.value.has_value(), c.hasValue) << c.header;
        EXPECT_EQ(r.bodyLength, c.length) << c.header;
        if (c.length == 3) {
            EXPECT_EQ(replyText(r.value), "ab");
        }
    }
}

TEST(OVNProtocolReplies, FailedReads) {
    ScriptedPipe header;
    header.add("", kIOReturnTimeout);
    auto h = header.read();
    EXPECT_EQ(h.outcome, ReplyOutcome::HeaderReadFailed);
    EXPECT_EQ(h.readStatus, kIOReturnTimeout);
    EXPECT_FALSE(h.value);
    EXPECT_EQ(header.asked.size(), 1u) << "no body read after a failed header";

    ScriptedPipe body{"00000004"};
    body.add("12", kIOUSBPipeStalled);
    auto b = body.read();
    EXPECT_EQ(b.outcome, ReplyOutcome::BodyReadFailed);
    EXPECT_EQ(b.readStatus, kIOUSBPipeStalled);
    EXPECT_FALSE(b.value);

    EXPECT_EQ(readReply(PipeReadFn()).outcome, ReplyOutcome::HeaderReadFailed);
}




// ---------------------------------------------------------------------------------------------------------
// Status vocabulary, texts and payloads

TEST(OVNProtocolStatus, Vocabulary) {
    EXPECT_EQ(stringForDSStatusString(std::nullopt), "<NULL>");
    const std::pair<const char*, const char*> texts[] = {
        {"FU00001", "Firmware Update Mode"}, {"00000", "Idle"}, {"0", "Idle"}, {"", "Idle"}, {"FU00002", "Idle"},
        {"ABC", "Idle"}, {"fu00001", "Idle"}, {"00001", "Printing"}, {"02610", "Motor Temp Error"},
        {"2611", "Unknown Status"}, {"01100", "Paper End"}, {" 1100x", "Paper End"}, {"-1", "Unknown Status"},
        // Numbers past the 32-bit range are not folded back into the table.
        {"4294967296", "Unknown Status"}, {"4294968396", "Unknown Status"}};
    for (auto [raw, text] : texts) EXPECT_EQ(stringForDSStatusString(std::string(raw)), text) << '"' << raw << '"';

    const std::pair<int, const char*> rows[] = {
        {500, "Head cool down cycle"}, {510, "Motor cool down cycle"}, {900, "Sleeping (standby mode)"},
        {1000, "Cover Open"}, {1010, "Scrap Box Missing"}, {1200, "Ribbon End"}, {1300, "Paper Jam"},
        {1400, "Ribbon Error"}, {1500, "Wrong Paper"}, {1600, "Bad Data"}, {2000, "Head Voltage Error"},
        {2100, "Head Position Error"}, {2200, "Power supply Error"}, {2300, "Cutter Error"},
        {2400, "Pinch Roller Error"}, {2500, "Head Temp High Error"}, {2600, "Media Temp Error"},
        {2700, "Ribbon Tension Error"}, {2800, "RFID Module Error"}, {3000, "System Fail Error"},
    };
    for (auto [n, text] : rows) EXPECT_EQ(stringForDSStatusString(std::to_string(n)), text) << n;
}

TEST(OVNProtocolTexts, Conversions) {
    for (auto [in, out] : {std::pair{"CL0012345", "12345"}, {"CL", "0"}, {"0012345", "0012345"},
                           {"CL99999999999", "2147483647"}})
        EXPECT_EQ(lifetimeCounterText(in), out) << in;
    for (auto [in, out] : {std::pair{"  PL15 01.55 \r\n", "PL15 01.55"}, {"\xC2\xA0v1\xE2\x80\xA8", "v1"},
                           {" \t\n ", ""}, {"a\xC3\xA9", "a\xC3\xA9"}})
        EXPECT_EQ(trimWhitespaceAndNewlines(in), out) << in;
    for (auto [in, out] : {std::pair{"1", true}, {" +0001", true}, {"yes", true}, {"True", true}, {"0", false},
                           {"", false}, {"no", false}, {"000", false}})
        EXPECT_EQ(boolValueOfText(in), out) << in;
    for (auto [in, out] : {std::pair{"01", 1}, {"  -42abc", -42}, {"x1", 0}, {"-99999999999", INT32_MIN}})
        EXPECT_EQ(intValueOfText(in), out) << in;
}


// ---------------------------------------------------------------------------------------------------------
// Per-model tables

TEST(OVNProtocolModels, ColourTableLayouts) {
    auto single = colorTableVersionQueries(colorTableLayoutForProduct(kProductPL25Duplex));
    auto singleSum = colorTableChecksumQueries(ColorTableLayout::Single);
    ASSERT_EQ(single.size(), 1u);
    ASSERT_EQ(singleSum.size(), 1u);
    EXPECT_EQ(single[0].code, 21u);
    EXPECT_STREQ(single[0].key, "colorTableVersion");
    EXPECT_EQ(singleSum[0].code, 23u);
    EXPECT_STREQ(singleSum[0].key, "colorTableChecksum300");

    auto pl45 = colorTableVersionQueries(colorTableLayoutForProduct(kProductPL45));
    ASSERT_EQ(pl45.size(), 8u);
    const uint32_t order[] = {27, 26, 25, 24, 27, 26, 25, 24};
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(pl45[i].code, order[i]);
        EXPECT_EQ(pl45[i].media, i < 4 ? TableMedia::SD : TableMedia::PP);
    }
    EXPECT_STREQ(pl45[3].key, "colorTableVersion");
    EXPECT_STREQ(pl45[7].key, "colorTableVersion300HD");
    auto pl45Sum = colorTableChecksumQueries(ColorTableLayout::Octuple);
    EXPECT_STREQ(pl45Sum[0].key, "colorTableChecksum620");
    EXPECT_STREQ(pl45Sum[0].logPrefix, "printer color table CHECKSUM 620: ");

    auto pl35 = colorTableVersionQueries(colorTableLayoutForProduct(kProductPL35));
    ASSERT_EQ(pl35.size(), 3u);
    for (const auto& q : pl35) {
        EXPECT_EQ(q.media, TableMedia::None);
        EXPECT_EQ(std::string(q.key).find("620"), std::string::npos);
        EXPECT_EQ(std::string(q.key).find("HD"), std::string::npos);
    }
    EXPECT_EQ(colorTableLayoutForProduct(0x0104), ColorTableLayout::None);
    EXPECT_TRUE(colorTableVersionQueries(ColorTableLayout::None).empty());
    EXPECT_EQ(colorTableKeys().size(), 16u);
}

