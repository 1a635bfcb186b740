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

namespace {

std::vector<uint8_t> bytesOf(std::string_view s) { return {s.begin(), s.end()}; }
std::string textOf(const std::vector<uint8_t>& v, size_t from, size_t len) {
    return std::string(v.begin() + from, v.begin() + from + len);
}

// A bulk IN pipe that answers each read with the next scripted chunk (cut to the size asked for), or fails.
struct ScriptedPipe {
    struct Step {
        IOReturn status = kIOReturnSuccess;
        std::vector<uint8_t> bytes;
        uint32_t claimed = UINT32_MAX;  // bytes to report received (default: what was copied)
    };
    std::deque<Step> steps;
    std::vector<uint32_t> asked;  // the size of every read issued

    PipeReadFn fn() {
        return [this](uint8_t* buf, uint32_t* size) -> IOReturn {
            asked.push_back(*size);
            if (steps.empty()) {
                *size = 0;
                return kIOReturnTimeout;
            }
            Step s = steps.front();
            steps.pop_front();
            uint32_t n = std::min<uint32_t>(*size, static_cast<uint32_t>(s.bytes.size()));
            if (n) std::memcpy(buf, s.bytes.data(), n);
            *size = s.claimed == UINT32_MAX ? n : s.claimed;
            return s.status;
        };
    }
    void add(std::string_view bytes, IOReturn status = kIOReturnSuccess) {
        steps.push_back({status, bytesOf(bytes), UINT32_MAX});
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Command table and frames

TEST(OVNProtocolCommands, TableTextsAndUnlistedCodes) {
    EXPECT_EQ(stringForCommandCode(0), "STATUS");
    EXPECT_EQ(stringForCommandCode(1), "INFO  FVER");
    EXPECT_EQ(stringForCommandCode(12), "CNTRL OVERCOAT");
    EXPECT_EQ(stringForCommandCode(19), "TBL_CL");
    EXPECT_EQ(stringForCommandCode(21), "TBL_RDVersion");
    EXPECT_EQ(stringForCommandCode(22), "TBL_WTVersion");
    EXPECT_EQ(stringForCommandCode(31), "TBL_RDCWD620_Checksum");
    EXPECT_EQ(stringForCommandCode(42), "MNT_WTUSB_ISERI_SET");
    EXPECT_EQ(stringForCommandCode(43), "MNT_RDUSB_ISERI_SET");
    for (uint32_t code : {3u, 5u, 6u, 9u, 10u, 18u, 44u, 1000u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(stringForCommandCode(code).has_value()) << code;
    }
    // Every listed command fits in front of the length field.
    for (uint32_t code = 0; code <= 43; ++code) {
        if (auto t = stringForCommandCode(code)) {
            EXPECT_LE(t->size(), 22u) << code;
        }
    }
}

TEST(OVNProtocolCommands, PayloadFieldSizes) {
    for (uint32_t code : {11u, 12u, 16u, 37u}) EXPECT_EQ(payloadFieldSize(code, 3), 8u) << code;
    for (uint32_t code : {35u, 42u}) EXPECT_EQ(payloadFieldSize(code, 0), 4u) << code;
    for (uint32_t code : {13u, 14u, 15u, 20u, 22u, 24u, 27u, 31u, 41u}) EXPECT_EQ(payloadFieldSize(code, 77), 77u);
    for (uint32_t code : {0u, 1u, 19u, 21u, 23u, 32u, 43u, 3u, 99u}) EXPECT_EQ(payloadFieldSize(code, 77), 0u);
}

TEST(OVNProtocolFrames, StatusQueryIsThirtyTwoBytes) {
    auto r = buildCommandFrame(kCmdStatus, std::span<const uint8_t>());
    ASSERT_TRUE(r.sendable);
    ASSERT_EQ(r.frame.size(), 32u);
    EXPECT_EQ(r.frame[0], 0x1B);
    EXPECT_EQ(r.frame[1], 'P');
    EXPECT_EQ(textOf(r.frame, 2, 30), "STATUS" + std::string(24, ' '));
    EXPECT_TRUE(r.internalErrors.empty());
}

TEST(OVNProtocolFrames, FirmwareQueryPutsFVERAtOffsetEight) {
    auto r = buildCommandFrame(kCmdFirmwareVersion, std::span<const uint8_t>());
    ASSERT_EQ(r.frame.size(), 32u);
    EXPECT_EQ(textOf(r.frame, 2, 6), "INFO  ");
    EXPECT_EQ(textOf(r.frame, 8, 16), "FVER            ");
    EXPECT_EQ(textOf(r.frame, 24, 8), "        ");
}

TEST(OVNProtocolFrames, MediaPayloadAndLengthField) {
    auto sd = commandPayloadForMediaSD();
    auto r = buildCommandFrame(kCmdTableReadVersion620, sd);
    ASSERT_EQ(r.frame.size(), 36u);
    EXPECT_EQ(textOf(r.frame, 2, 22), "TBL_RDCWD620_Version  ");
    EXPECT_EQ(textOf(r.frame, 24, 8), "00000004");
    EXPECT_EQ(textOf(r.frame, 32, 4), "0001");
    EXPECT_EQ(r.payloadFieldSize, 4u);
}

TEST(OVNProtocolFrames, CounterResetFrame) {
    auto payload = counterResetPayload('A');
    ASSERT_TRUE(payload);
    auto r = buildCommandFrame(kCmdCounterClear, *payload);
    ASSERT_EQ(r.frame.size(), 36u);
    EXPECT_EQ(textOf(r.frame, 2, 22), "MNT_WTCOUNTER_CLR     ");
    EXPECT_EQ(textOf(r.frame, 24, 8), "00000004");
    EXPECT_EQ(std::vector<uint8_t>(r.frame.begin() + 32, r.frame.end()), (std::vector<uint8_t>{0x43, 0x41, 0x0D, 0x00}));
}

TEST(OVNProtocolFrames, LargeUploadIsBuiltInPlace) {
    auto p = FramedPayload::withPayloadSize(1'000'000);
    ASSERT_TRUE(p);
    p->payload()[0] = 'S';
    p->payload()[999'999] = 0x7E;
    const uint8_t* before = p->buffer().data();
    auto r = buildCommandFrame(kCmdFlashProgram, std::move(*p));
    ASSERT_TRUE(r.sendable);
    ASSERT_EQ(r.frame.size(), 1'000'032u);
    EXPECT_EQ(r.frame.data(), before) << "the payload was copied";
    EXPECT_EQ(textOf(r.frame, 2, 22), "FW_UPDFLASH_PROGRAM   ");
    EXPECT_EQ(textOf(r.frame, 24, 8), "01000000");
    EXPECT_EQ(r.frame[32], 'S');
    EXPECT_EQ(r.frame.back(), 0x7E);
}

TEST(OVNProtocolFrames, AdoptedBufferKeepsItsPayload) {
    std::vector<uint8_t> buf(32, 0);
    buf.insert(buf.end(), {'a', 'b', 'c', 'd'});
    auto r = buildCommandFrame(kCmdTableWriteVersion, FramedPayload::adopt(std::move(buf)));
    ASSERT_EQ(r.frame.size(), 36u);
    EXPECT_EQ(textOf(r.frame, 0, 2), "\x1bP");
    EXPECT_EQ(textOf(r.frame, 24, 12), "00000004abcd");
}

TEST(OVNProtocolFrames, UnlistedCodeGoesOutWithBlankCommand) {
    const uint8_t junk[] = {1, 2, 3};
    auto r = buildCommandFrame(18, junk);
    ASSERT_TRUE(r.sendable);
    ASSERT_EQ(r.frame.size(), 32u);
    EXPECT_EQ(textOf(r.frame, 2, 30), std::string(30, ' '));
    EXPECT_EQ(r.internalErrors, std::vector<int>{kInternalErrorCommandText});
}

TEST(OVNProtocolFrames, FixedFieldWithWrongPayloadCarriesZeros) {
    const uint8_t three[] = {'x', 'y', 'z'};
    for (auto r : {buildCommandFrame(kCmdCounterClear, three), buildCommandFrame(kCmdCounterClear, FramedPayload(three)),
                   buildCommandFrame(kCmdCutter, std::span<const uint8_t>())}) {
        ASSERT_TRUE(r.sendable);
        size_t n = r.payloadFieldSize;
        ASSERT_EQ(r.frame.size(), 32 + n);
        EXPECT_EQ(textOf(r.frame, 24, 8), n == 4 ? "00000004" : "00000008");
        for (size_t i = 32; i < r.frame.size(); ++i) EXPECT_EQ(r.frame[i], 0) << i;
    }
    // Exactly eight bytes are taken for a code with an eight-byte field.
    const uint8_t eight[] = {'1', '2', '3', '4', '5', '6', '7', '8'};
    auto r = buildCommandFrame(kCmdOvercoat, eight);
    EXPECT_EQ(textOf(r.frame, 24, 16), "0000000812345678");
}

TEST(OVNProtocolFrames, CodeWithoutFieldDropsPayload) {
    const uint8_t extra[] = {'0', '0', '0', '1'};
    auto r = buildCommandFrame(kCmdTableReadVersion, FramedPayload(extra));
    ASSERT_EQ(r.frame.size(), 32u);
    EXPECT_EQ(textOf(r.frame, 24, 8), "        ");
}

TEST(OVNProtocolFrames, PayloadBeyondLengthFieldIsNotSent) {
    std::vector<uint8_t> huge(kMaxPayloadFieldSize + 1, 0x41);
    auto r = buildCommandFrame(kCmdFlashProgram, huge);
    EXPECT_FALSE(r.sendable);
    EXPECT_TRUE(r.frame.empty());
    EXPECT_EQ(r.internalErrors, std::vector<int>{kInternalErrorLengthField});
}

// ---------------------------------------------------------------------------------------------------------
// Replies

TEST(OVNProtocolReplies, BodyEndingInCarriageReturn) {
    ScriptedPipe pipe;
    pipe.add("00000006");
    pipe.add("00000\r");
    auto r = readReply(pipe.fn());
    ASSERT_EQ(r.outcome, ReplyOutcome::Value);
    ASSERT_TRUE(r.value);
    EXPECT_EQ(*r.value, (std::vector<uint8_t>{'0', '0', '0', '0', '0', 0}));
    EXPECT_EQ(pipe.asked, (std::vector<uint32_t>{8, 6}));
    EXPECT_EQ(replyText(r.value), "00000");
}

TEST(OVNProtocolReplies, CarriageReturnInTheMiddleEndsTheText) {
    ScriptedPipe pipe;
    pipe.add("00000009");
    pipe.add("AB\rCD\rEF\r");
    auto r = readReply(pipe.fn());
    ASSERT_TRUE(r.value);
    EXPECT_EQ(r.value->size(), 3u);
    EXPECT_EQ(replyText(r.value), "AB");
}

TEST(OVNProtocolReplies, BodyWithoutCarriageReturnIsTheWholeBuffer) {
    ScriptedPipe pipe;
    pipe.add("00000010");
    pipe.add("PL15 01.55");
    auto r = readReply(pipe.fn());
    ASSERT_TRUE(r.value);
    ASSERT_EQ(r.value->size(), 256u);
    EXPECT_EQ(textOf(*r.value, 0, 10), "PL15 01.55");
    for (size_t i = 10; i < 256; ++i) ASSERT_EQ((*r.value)[i], 0) << i;
    EXPECT_EQ(replyText(r.value), "PL15 01.55");
}

TEST(OVNProtocolReplies, LongBodyWithoutCarriageReturn) {
    ScriptedPipe pipe;
    pipe.add("00000300");
    pipe.add(std::string(300, 'x'));
    auto r = readReply(pipe.fn());
    ASSERT_TRUE(r.value);
    EXPECT_EQ(r.value->size(), 301u);
    EXPECT_EQ(r.value->back(), 0);
    EXPECT_EQ(replyText(r.value)->size(), 300u);
}

TEST(OVNProtocolReplies, ShortBodyLeavesHeaderBytesBehindTheZero) {
    ScriptedPipe pipe;
    pipe.add("00000006");
    pipe.add("ab");
    auto r = readReply(pipe.fn());
    ASSERT_TRUE(r.value);
    ASSERT_EQ(r.value->size(), 256u);
    EXPECT_EQ(textOf(*r.value, 0, 2), "ab");
    EXPECT_EQ((*r.value)[2], 0);
    EXPECT_EQ(textOf(*r.value, 3, 5), "00006");
    EXPECT_EQ(replyText(r.value), "ab");
    EXPECT_EQ(r.bodyBytes, 2u);
}

TEST(OVNProtocolReplies, ZeroLengthHeaderReadsAsEmptyText) {
    ScriptedPipe pipe;
    pipe.add("00000000");
    pipe.add("");
    auto r = readReply(pipe.fn());
    ASSERT_TRUE(r.value);
    EXPECT_EQ(r.value->size(), 256u);
    EXPECT_EQ((*r.value)[0], 0);
    EXPECT_FALSE(isEmptyReply(r.value));
    EXPECT_EQ(replyText(r.value), "");
    EXPECT_EQ(pipe.asked, (std::vector<uint32_t>{8, 0}));
}

TEST(OVNProtocolReplies, LengthLimit) {
    ScriptedPipe ok;
    ok.add("00004096");
    ok.add(std::string(4095, 'z') + "\r");
    auto r = readReply(ok.fn());
    ASSERT_TRUE(r.value);
    EXPECT_EQ(r.value->size(), 4096u);

    ScriptedPipe tooLong;
    tooLong.add("00004097");
    tooLong.add(std::string(4097, 'z'));
    auto t = readReply(tooLong.fn());
    EXPECT_EQ(t.outcome, ReplyOutcome::BodyTooLong);
    EXPECT_FALSE(t.value);
    EXPECT_EQ(tooLong.asked.size(), 1u) << "no body read after a refused header";
}

TEST(OVNProtocolReplies, OddHeaders) {
    struct Case {
        const char* header;
        bool hasValue;
        uint32_t length;
    } cases[] = {
        {"        ", true, 0},            // blank: 0
        {"abcdefgh", true, 0},            // not a number: 0
        {"-0000001", false, 0xFFFFFFFFu},  // negative: huge
        {"    12  ", true, 12},
        {"+0000003", true, 3},
        {"12ab5678", true, 12},
        {"99999999", false, 99999999u},
    };
    for (const auto& c : cases) {
        ScriptedPipe pipe;
        pipe.add(c.header);
        pipe.add("OK\r");
        auto r = readReply(pipe.fn());
        EXPECT_EQ(r.value.has_value(), c.hasValue) << c.header;
        EXPECT_EQ(r.bodyLength, c.length) << c.header;
    }
    // A header that arrives short is parsed from what arrived.
    ScriptedPipe shortHeader;
    shortHeader.add("3");
    shortHeader.add("ab\r");
    auto r = readReply(shortHeader.fn());
    EXPECT_EQ(r.bodyLength, 3u);
    EXPECT_EQ(replyText(r.value), "ab");
}

TEST(OVNProtocolReplies, FailedReads) {
    ScriptedPipe header;
    header.add("", kIOReturnTimeout);
    auto h = readReply(header.fn());
    EXPECT_EQ(h.outcome, ReplyOutcome::HeaderReadFailed);
    EXPECT_EQ(h.readStatus, kIOReturnTimeout);
    EXPECT_FALSE(h.value);
    EXPECT_EQ(header.asked.size(), 1u) << "no body read after a failed header";

    ScriptedPipe body;
    body.add("00000004");
    body.add("12", kIOUSBPipeStalled);
    auto b = readReply(body.fn());
    EXPECT_EQ(b.outcome, ReplyOutcome::BodyReadFailed);
    EXPECT_EQ(b.readStatus, kIOUSBPipeStalled);
    EXPECT_FALSE(b.value);

    EXPECT_EQ(readReply(PipeReadFn()).outcome, ReplyOutcome::HeaderReadFailed);
}

TEST(OVNProtocolReplies, ReaderThatOverstatesItsCountIsHeldToTheBuffer) {
    ScriptedPipe pipe;
    pipe.steps.push_back({kIOReturnSuccess, bytesOf("00000004"), 5000});
    pipe.steps.push_back({kIOReturnSuccess, bytesOf("abcd"), 100000});
    auto r = readReply(pipe.fn());
    EXPECT_EQ(r.headerBytes, 8u);
    EXPECT_EQ(r.bodyBytes, 4u);
    ASSERT_TRUE(r.value);
    EXPECT_EQ(replyText(r.value), "abcd");
}

TEST(OVNProtocolReplies, RandomBytesNeverBreakTheReader) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 3000; ++round) {
        ScriptedPipe pipe;
        for (int step = 0; step < 2; ++step) {
            std::string chunk(rng() % 20, '\0');
            for (auto& c : chunk) c = static_cast<char>(rng() % 4 == 0 ? "0123456789\r -+"[rng() % 15] : rng());
            if (round % 3 == 0 && step == 0) chunk = std::to_string(rng() % 5000);
            pipe.steps.push_back({rng() % 10 == 0 ? kIOReturnTimeout : kIOReturnSuccess, bytesOf(chunk), UINT32_MAX});
        }
        auto r = readReply(pipe.fn());
        if (r.value) {
            ASSERT_FALSE(r.value->empty());
            EXPECT_NE(std::find(r.value->begin(), r.value->end(), 0), r.value->end());
            EXPECT_LE(r.value->size(), 4097u);
        }
    }
}

TEST(OVNProtocolReplies, TextOfAReply) {
    EXPECT_FALSE(replyText(std::nullopt));
    EXPECT_FALSE(replyText(std::vector<uint8_t>{}));
    EXPECT_TRUE(isEmptyReply(std::vector<uint8_t>{}));
    EXPECT_EQ(replyText(std::vector<uint8_t>{'h', 'i', 0, 'x'}), "hi");
    EXPECT_EQ(replyText(std::vector<uint8_t>{0xC3, 0xA9, 0}), "\xC3\xA9");
    EXPECT_FALSE(replyText(std::vector<uint8_t>{'a', 0xFF, 0})) << "invalid UTF-8 is no text";
    EXPECT_FALSE(replyText(std::vector<uint8_t>{0xC0, 0x80, 0})) << "overlong form";
}

// ---------------------------------------------------------------------------------------------------------
// Status vocabulary

TEST(OVNProtocolStatus, Vocabulary) {
    EXPECT_EQ(stringForDSStatusString(std::string("FU00001")), "Firmware Update Mode");
    EXPECT_EQ(stringForDSStatusString(std::nullopt), "<NULL>");
    for (const char* idle : {"00000", "0", "", "FU00002", "ABC", "fu00001"}) {
        EXPECT_EQ(stringForDSStatusString(std::string(idle)), "Idle") << idle;
    }
    EXPECT_EQ(stringForDSStatusString(std::string("00001")), "Printing");
    EXPECT_EQ(stringForDSStatusString(std::string("02610")), "Motor Temp Error");
    EXPECT_EQ(stringForDSStatusString(std::string("2611")), "Unknown Status");
    EXPECT_EQ(stringForDSStatusString(std::string("01100")), "Paper End");
    EXPECT_EQ(stringForDSStatusString(std::string(" 1100x")), "Paper End");
    EXPECT_EQ(stringForDSStatusString(std::string("-1")), "Unknown Status");
    // Numbers past the 32-bit range are not folded back into the table.
    EXPECT_EQ(stringForDSStatusString(std::string("4294967296")), "Unknown Status");
    EXPECT_EQ(stringForDSStatusString(std::string("4294968396")), "Unknown Status");

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

// ---------------------------------------------------------------------------------------------------------
// Text conversions and payloads

TEST(OVNProtocolTexts, Conversions) {
    EXPECT_EQ(lifetimeCounterText("CL0012345"), "12345");
    EXPECT_EQ(lifetimeCounterText("CL"), "0");
    EXPECT_EQ(lifetimeCounterText("0012345"), "0012345");
    EXPECT_EQ(lifetimeCounterText("CL99999999999"), "2147483647");

    EXPECT_EQ(trimWhitespaceAndNewlines("  PL15 01.55 \r\n"), "PL15 01.55");
    EXPECT_EQ(trimWhitespaceAndNewlines("\xC2\xA0v1\xE2\x80\xA8"), "v1");
    EXPECT_EQ(trimWhitespaceAndNewlines(" \t\n "), "");
    EXPECT_EQ(trimWhitespaceAndNewlines("a\xC3\xA9"), "a\xC3\xA9");

    EXPECT_TRUE(boolValueOfText("1"));
    EXPECT_TRUE(boolValueOfText(" +0001"));
    EXPECT_TRUE(boolValueOfText("yes"));
    EXPECT_TRUE(boolValueOfText("True"));
    EXPECT_FALSE(boolValueOfText("0"));
    EXPECT_FALSE(boolValueOfText(""));
    EXPECT_FALSE(boolValueOfText("no"));
    EXPECT_FALSE(boolValueOfText("000"));

    EXPECT_EQ(intValueOfText("01"), 1);
    EXPECT_EQ(intValueOfText("  -42abc"), -42);
    EXPECT_EQ(intValueOfText("x1"), 0);
    EXPECT_EQ(intValueOfText("-99999999999"), INT32_MIN);
}

TEST(OVNProtocolTexts, Payloads) {
    EXPECT_EQ(counterResetPayload('B'), (std::array<uint8_t, 4>{0x43, 0x42, 0x0D, 0x00}));
    EXPECT_EQ(counterResetPayload('M'), (std::array<uint8_t, 4>{0x43, 0x4D, 0x0D, 0x00}));
    EXPECT_FALSE(counterResetPayload('X'));
    EXPECT_FALSE(counterResetPayload('a'));
    EXPECT_EQ(usbISerialWritePayload(true), (std::array<uint8_t, 4>{0x30, 0x31, 0x0D, 0x00}));
    EXPECT_EQ(usbISerialWritePayload(false), (std::array<uint8_t, 4>{0x30, 0x30, 0x0D, 0x00}));
    EXPECT_EQ(mediaPayload(TableMedia::PP), bytesOf("0003"));
    EXPECT_TRUE(mediaPayload(TableMedia::None).empty());
}

// ---------------------------------------------------------------------------------------------------------
// Per-model tables

TEST(OVNProtocolModels, ColourTableLayouts) {
    auto single = colorTableVersionQueries(colorTableLayoutForProduct(kProductPL25Duplex));
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0].code, 21u);
    EXPECT_STREQ(single[0].key, "colorTableVersion");
    auto singleSum = colorTableChecksumQueries(ColorTableLayout::Single);
    ASSERT_EQ(singleSum.size(), 1u);
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

TEST(OVNProtocolModels, ISerialSupportAndPictures) {
    EXPECT_FALSE(hasISerialSupport(kProductPL15, 9));
    EXPECT_FALSE(hasISerialSupport(kProductPL25, 9));
    EXPECT_FALSE(hasISerialSupport(kProductPL25Duplex, 9));
    EXPECT_TRUE(hasISerialSupport(kProductPL35, 0));
    EXPECT_TRUE(hasISerialSupport(kProductPL45, 0));
    EXPECT_FALSE(hasISerialSupport(kProductPLMV1, 2.03));
    EXPECT_TRUE(hasISerialSupport(kProductPLMV1, 2.04));
    EXPECT_FALSE(hasISerialSupport(kProductPLMV1, 0));
    EXPECT_FALSE(hasISerialSupport(0x1234, 9));

    EXPECT_EQ(imageNameForProduct(kProductPL35), "PL35A_LSide");
    EXPECT_EQ(imageNameForProduct(kProductPL45), "PL45");
    EXPECT_EQ(imageNameForProduct(kProductPLMV1), "OVN_MV_Series");
    EXPECT_EQ(imageNameForProduct(kProductPL25Duplex), "OVN_PL_Series");
    EXPECT_FALSE(imageNameForProduct(0x0104));
}
