// Shared pieces of the fuzz targets: quiet diagnostics and an invariant check that stops the fuzzer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/SystemLog.h"
#include "support/QELMOR_Log.h"

// A broken invariant is a finding like a crash: the fuzzer keeps the input that caused it.
#define FUZZ_CHECK(cond)                                                                              \
    do {                                                                                              \
        if (!(cond)) {                                                                                \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);        \
            std::abort();                                                                             \
        }                                                                                             \
    } while (0)

namespace fuzz {

// Diagnostic lines cost time and fill the terminal; the targets check results, not log lines.
inline void quietLogs() {
    static const bool done = [] {
        ovn::SystemLog::setUseSyslog(false);
        ovn::SystemLog::setMirrorToStdErr(false);
        QELMOR_Log::setShouldLogToStdErr(false);
        return true;
    }();
    (void)done;
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. Written here on its own so
// that it checks the decoders instead of agreeing with them.
inline bool isWellFormedUTF8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<uint8_t>(s[i]);
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        size_t n;
        uint32_t cp;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            n = 2;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            n = 3;
            cp = b0 & 0x0F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            n = 4;
            cp = b0 & 0x07;
        } else {
            return false;
        }
        if (i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            const auto b = static_cast<uint8_t>(s[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += n;
    }
    return true;
}

}  // namespace fuzz
