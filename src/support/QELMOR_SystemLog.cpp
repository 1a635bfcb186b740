#include "support/QELMOR_SystemLog.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace {

std::mutex& handlerMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<const std::function<void(const std::string&)>>& handlerSlot() {
    static std::shared_ptr<const std::function<void(const std::string&)>> slot;
    return slot;
}

}  // namespace

void QELMOR_SystemLog(const std::string& line) {
    std::shared_ptr<const std::function<void(const std::string&)>> handler;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        handler = handlerSlot();
    }
    if (handler && *handler) {
        (*handler)(line);
        return;
    }
    std::string trimmed = line;
    while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
    syslog(LOG_USER | LOG_NOTICE, "%s", trimmed.c_str());
}

void QELMOR_SystemLogFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string line;
    if (n < 0) {
        line = format;
    } else {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        vsnprintf(buf.data(), buf.size(), format, args);
        line.assign(buf.data(), static_cast<size_t>(n));
    }
    va_end(args);
    QELMOR_SystemLog(line);
}

void QELMOR_SetSystemLogHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard<std::mutex> lock(handlerMutex());
    if (handler) {
        handlerSlot() = std::make_shared<const std::function<void(const std::string&)>>(std::move(handler));
    } else {
        handlerSlot().reset();
    }
}
