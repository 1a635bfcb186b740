// The reply reader of the vendor protocol (and the frame builder beside it).
//
// The input scripts the bulk IN pipe: the bytes the printer sends, whether each read fails and the byte
// count each read claims to have delivered (possibly more than was asked for). The reply value is compared byte for byte with a model of the documented reader:
// header parsed like strtol over eight bytes, bodies above 4096 bytes refused unread, the value cut at the
// first carriage return or else the whole max(256, length + 1) byte buffer.
//
// Inputs whose first byte is odd build a command frame instead: code, payload and the frame's layout.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Classes/OVNProtocol.h"
#include "FuzzSupport.h"

namespace proto = ovn::protocol;

namespace {

struct ScriptedRead {
    IOReturn status = kIOReturnSuccess;
    uint32_t claimed = 0;          // what the pipe reports as transferred
    std::vector<uint8_t> written;  // what it actually put into the buffer (never more than asked)
};

// Input of a reply: a control byte, then the bytes the printer sends (header and body as one stream).
// Control bits: 0 the header read fails, 1 the body read fails (each after delivering what it got), 2-3
// and 4-5 what the header and the body read report as transferred: 0 the truth, 1 more than was asked
// for, 2 half of what was written, 3 none.
void fuzzReply(const uint8_t* data, size_t size) {
    const uint8_t control = size > 0 ? data[0] : 0;
    std::vector<uint8_t> stream(data + std::min<size_t>(size, 1), data + size);
    size_t consumed = 0;

    std::vector<ScriptedRead> reads;
    auto read = [&](uint8_t* buffer, uint32_t* size) -> IOReturn {
        const size_t n = reads.size();
        ScriptedRead r;
        r.status = (control >> n) & 1 ? kIOReturnTimeout : kIOReturnSuccess;
        const uint32_t asked = *size;
        const size_t take = std::min<size_t>(asked, stream.size() - consumed);
        r.written.assign(stream.begin() + static_cast<std::ptrdiff_t>(consumed),
                         stream.begin() + static_cast<std::ptrdiff_t>(consumed + take));
        consumed += take;
        switch ((control >> (2 + 2 * n)) & 3) {
            case 0: r.claimed = static_cast<uint32_t>(take); break;
            case 1: r.claimed = asked + 7; break;
            case 2: r.claimed = static_cast<uint32_t>(take / 2); break;
            default: r.claimed = 0; break;
        }
        if (take) std::memcpy(buffer, r.written.data(), take);
        *size = r.claimed;
        reads.push_back(r);
        return r.status;
    };

    proto::ReplyReadResult result = proto::readReply(read);

    FUZZ_CHECK(!reads.empty());
    FUZZ_CHECK(result.value.has_value() == (result.outcome == proto::ReplyOutcome::Value));
    const ScriptedRead& header = reads[0];
    FUZZ_CHECK(result.headerBytes <= proto::kReplyHeaderSize);
    if (header.status != kIOReturnSuccess) {
        FUZZ_CHECK(result.outcome == proto::ReplyOutcome::HeaderReadFailed);
        FUZZ_CHECK(reads.size() == 1);  // no body read after a failed header read
        return;
    }

    // The header as strtol reads it, over the eight header bytes.
    char text[proto::kReplyHeaderSize + 1] = {};
    std::copy_n(header.written.begin(), std::min<size_t>(header.written.size(), proto::kReplyHeaderSize), text);
    const auto expectedLength = static_cast<uint32_t>(static_cast<unsigned long>(std::strtol(text, nullptr, 10)));
    FUZZ_CHECK(result.bodyLength == expectedLength);
    if (expectedLength > proto::kMaxReplyBodyLength) {
        FUZZ_CHECK(result.outcome == proto::ReplyOutcome::BodyTooLong);
        FUZZ_CHECK(reads.size() == 1);  // the body stays unread in the pipe
        return;
    }
    FUZZ_CHECK(reads.size() == 2);
    const ScriptedRead& body = reads[1];
    if (body.status != kIOReturnSuccess) {
        FUZZ_CHECK(result.outcome == proto::ReplyOutcome::BodyReadFailed);
        return;
    }
    FUZZ_CHECK(result.outcome == proto::ReplyOutcome::Value);

    // The reply buffer: header bytes, overwritten by the body bytes, a zero after the bytes received.
    std::vector<uint8_t> expected(std::max<size_t>(proto::kReplyInitialBufferSize, size_t{expectedLength} + 1), 0);
    std::copy(header.written.begin(), header.written.end(), expected.begin());
    std::copy(body.written.begin(), body.written.end(), expected.begin());
    const size_t received = std::min<size_t>(body.claimed, expectedLength);
    FUZZ_CHECK(result.bodyBytes == received);
    expected[received] = 0;
    auto cr = std::find(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(received), uint8_t{0x0D});
    if (cr != expected.begin() + static_cast<std::ptrdiff_t>(received)) {
        *cr = 0;
        expected.erase(cr + 1, expected.end());
    }
    FUZZ_CHECK(*result.value == expected);
    FUZZ_CHECK(std::find(result.value->begin(), result.value->end(), uint8_t{0}) != result.value->end());

    // The reply as text: the bytes up to the first zero, when they are UTF-8.
    FUZZ_CHECK(!proto::isEmptyReply(result.value));
    std::string upToZero(reinterpret_cast<const char*>(expected.data()));
    std::optional<std::string> replyText = proto::replyText(result.value);
    FUZZ_CHECK(replyText.has_value() == fuzz::isWellFormedUTF8(upToZero));
    if (replyText) FUZZ_CHECK(*replyText == upToZero);
}

// Input of a frame: the code (one byte; 0xFF followed by four bytes gives any 32-bit code), a byte whose
// bit 0 picks the builder that copies the payload or the one that builds around it, then the payload.
void fuzzFrame(const uint8_t* data, size_t size) {
    size_t i = 0;
    uint32_t code = i < size ? data[i++] : 0;
    if (code == 0xFF) {
        code = 0;
        for (int k = 0; k < 4; ++k) code = (code << 8) | (i < size ? data[i++] : 0);
    }
    const bool inPlace = i < size ? (data[i++] & 1) : false;
    const std::vector<uint8_t> payload(data + i, data + size);

    proto::FrameBuildResult r = inPlace ? proto::buildCommandFrame(code, proto::FramedPayload(payload))
                                        : proto::buildCommandFrame(code, std::span<const uint8_t>(payload));
    FUZZ_CHECK(r.sendable);
    const size_t field = proto::payloadFieldSize(code, payload.size());
    FUZZ_CHECK(r.payloadFieldSize == field);
    FUZZ_CHECK(r.frame.size() == proto::kFrameHeaderSize + field);
    FUZZ_CHECK(r.frame[0] == 0x1B && r.frame[1] == 'P');

    std::optional<std::string> command = proto::stringForCommandCode(code);
    FUZZ_CHECK(command.has_value() == proto::commandInfo(code).has_value());
    const std::string shown = command.value_or("");
    FUZZ_CHECK(shown.size() <= proto::kFrameLengthOffset - proto::kFrameCommandOffset);
    FUZZ_CHECK(std::equal(shown.begin(), shown.end(), r.frame.begin() + 2));
    for (size_t i = 2 + shown.size(); i < proto::kFrameLengthOffset; ++i) FUZZ_CHECK(r.frame[i] == ' ');
    FUZZ_CHECK(command.has_value() ==
               (std::find(r.internalErrors.begin(), r.internalErrors.end(), proto::kInternalErrorCommandText) ==
                r.internalErrors.end()));

    char length[16];
    if (field == 0) {
        std::memset(length, ' ', 8);
    } else {
        std::snprintf(length, sizeof length, "%08zu", field);
    }
    FUZZ_CHECK(std::memcmp(r.frame.data() + proto::kFrameLengthOffset, length, 8) == 0);

    // The payload field: the caller's bytes, or zero bytes when a fixed-size field got a payload of another
    // size; never anything else.
    const bool takesPayload = !proto::hasFixedPayloadField(code) || payload.size() == field;
    for (size_t i = 0; i < field; ++i) {
        FUZZ_CHECK(r.frame[proto::kFrameHeaderSize + i] == (takesPayload ? payload[i] : 0));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::quietLogs();
    if (size == 0) return 0;
    if (data[0] & 1) {
        fuzzFrame(data + 1, size - 1);
    } else {
        fuzzReply(data + 1, size - 1);
    }
    return 0;
}
