#include "cli/CliAlerts.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "platform/DispatchQueue.h"
#include "platform/Observable.h"

namespace ovnctl {

namespace {

constexpr auto kProceedDelay = std::chrono::milliseconds(1000);
// A line longer than this is cut (nobody types more to answer an alert).
constexpr size_t kMaxLine = 256;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trim(const std::string& text) {
    size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    return text.substr(b, e - b);
}

std::vector<std::string> buttonsOf(const ovn::AlertRequest& request) {
    return request.buttons.empty() ? std::vector<std::string>{"OK"} : request.buttons;
}

std::optional<size_t> indexOf(const std::vector<std::string>& buttons, const std::string& title, bool prefix = false) {
    for (size_t i = 0; i < buttons.size(); ++i) {
        if (buttons[i] == title || (prefix && buttons[i].rfind(title, 0) == 0)) return i;
    }
    return std::nullopt;
}

void writeErr(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// A question or hint of an interactive run. With --json standard error carries one JSON object per line, so the
// text goes to the terminal itself, or, without one, becomes such an object ({"phase": "prompt", ...}).
void prompt(const Session& session, const std::string& text) {
    if (!session.options().json) {
        writeErr(text);
        return;
    }
    const int tty = ::open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0) {
        const bool whole = ::write(tty, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(tty);
        if (whole) return;
    }
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    session.progress("prompt", line);
}

// Reads one line from standard input on a thread of its own (the main queue keeps running meanwhile) and
// hands it to the main queue; nothing at the end of input. Raw reads, so that nothing is buffered past the line.
void readLineAsync(std::function<void(std::optional<std::string>)> done) {
    std::thread([done = std::move(done)] {
        std::string line;
        bool any = false;
        for (;;) {
            char c;
            ssize_t n = ::read(STDIN_FILENO, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            any = true;
            if (c == '\n') break;
            if (line.size() < kMaxLine) line.push_back(c);
        }
        std::optional<std::string> result;
        if (any) result = line;
        ovn::DispatchQueue::main()->async([done, result] { done(result); });
    }).detach();
}

}  // namespace

void describeAlert(const Session& session, const ovn::AlertRequest& request) {
    auto buttons = buttonsOf(request);
    nlohmann::json extra = {{"title", request.title}, {"message", request.message}, {"buttons", buttons}};
    if (!request.subject.empty()) extra["printer"] = request.subject;
    if (request.checkbox) extra["checkbox"] = request.checkbox->title;
    if (session.options().json) {
        session.progress("alert", "", extra);
        return;
    }
    std::string text = "\n== " + request.title + "\n";
    if (!request.message.empty()) text += request.message + "\n";
    writeErr(text);
}

CliAlertPresenter::CliAlertPresenter(Session& session, Mode mode) : session_(session), mode_(mode) {}

std::string CliAlertPresenter::buttonTitle(const ovn::AlertRequest& request, long response) {
    auto buttons = buttonsOf(request);
    long index = response - ovn::kAlertFirstButtonReturn;
    if (index < 0 || index >= static_cast<long>(buttons.size())) return "";
    return buttons[static_cast<size_t>(index)];
}

void CliAlertPresenter::present(const ovn::AlertRequest& request, std::function<void(long)> completion) {
    queue_.push_back(Pending{request, std::move(completion)});
    if (!busy_) showNext();
}

void CliAlertPresenter::showNext() {
    if (queue_.empty() || session_.finished()) {
        busy_ = false;
        return;
    }
    busy_ = true;
    Pending pending = queue_.front();
    queue_.pop_front();
    describeAlert(session_, pending.request);
    if (onShown && !onShown(pending.request)) {
        // The command ends on this alert: no answer.
        busy_ = false;
        return;
    }
    if (mode_ == Mode::Interactive)
        askOnTerminal(pending);
    else
        answerAutomatically(pending);
}

bool CliAlertPresenter::secondButtonEnabled(const ovn::AlertRequest& request) const {
    if (!request.enableSecondButtonObject || request.enableSecondButtonKeyPath.empty()) return true;
    return ovn::valueAsBool(request.enableSecondButtonObject->valueForKey(request.enableSecondButtonKeyPath))
        .value_or(false);
}

void CliAlertPresenter::deliver(const Pending& pending, long response) {
    const std::string title = buttonTitle(pending.request, response);
    if (!session_.options().json) writeErr("-> " + title + "\n");
    if (onAnswered) onAnswered(pending.request, title);
    if (pending.completion) pending.completion(response);
    ovn::DispatchQueue::main()->async([self = shared_from_this()] { self->showNext(); });
}

void CliAlertPresenter::answerAutomatically(const Pending& pending) {
    const auto buttons = buttonsOf(pending.request);
    auto respond = [&](size_t index) { deliver(pending, ovn::kAlertFirstButtonReturn + static_cast<long>(index)); };

    if (mode_ == Mode::Notices) {
        respond(0);
        return;
    }
    // Agree to the warning, then continue.
    if (pending.request.checkbox && pending.request.checkbox->toggled) pending.request.checkbox->toggled(true);
    if (auto i = indexOf(buttons, "Continue"); i && (*i != 1 || secondButtonEnabled(pending.request))) {
        respond(*i);
        return;
    }
    // The last confirmation, and the offer to finish an update left half done.
    for (const char* go : {"Update Firmware", "Finish", "Resume"}) {
        if (auto i = indexOf(buttons, go, true)) {
            respond(*i);
            return;
        }
    }
    if (auto i = indexOf(buttons, "Proceed")) {
        const auto now = std::chrono::steady_clock::now();
        if (!firstRetry_) firstRetry_ = now;
        if (now - *firstRetry_ >= session_.timeout()) {
            if (auto cancel = indexOf(buttons, "Cancel")) {
                respond(*cancel);
                return;
            }
        }
        // Give the printer a moment before the check runs again.
        const size_t index = *i;
        ovn::DispatchQueue::main()->asyncAfter(kProceedDelay, [self = shared_from_this(), pending, index] {
            if (self->session_.finished()) return;
            self->deliver(pending, ovn::kAlertFirstButtonReturn + static_cast<long>(index));
        });
        return;
    }
    // Anything else: the first button that does not end the program.
    for (size_t i = 0; i < buttons.size(); ++i) {
        if (buttons[i] != "Quit") {
            respond(i);
            return;
        }
    }
    // Only "Quit": the command has already been told (onShown) and ends; no answer.
    busy_ = false;
}

void CliAlertPresenter::askOnTerminal(const Pending& pending) {
    if (pending.request.checkbox) {
        prompt(session_, "Check \"" + pending.request.checkbox->title + "\"? [y/N] ");
        readLineAsync([self = shared_from_this(), pending](std::optional<std::string> line) {
            self->handleLine(pending, line, true);
        });
        return;
    }
    // A notice with one button asks nothing.
    if (buttonsOf(pending.request).size() == 1) {
        deliver(pending, ovn::kAlertFirstButtonReturn);
        return;
    }
    handleLine(pending, std::string(), false);
}

void CliAlertPresenter::handleLine(const Pending& pending, std::optional<std::string> line, bool askingAgreement) {
    if (session_.finished()) return;
    const auto buttons = buttonsOf(pending.request);
    if (askingAgreement) {
        if (line) {
            const std::string answer = lower(trim(*line));
            const bool agreed = answer == "y" || answer == "yes";
            if (pending.request.checkbox->toggled) pending.request.checkbox->toggled(agreed);
        }
        askingAgreement = false;
        line = std::string();  // now ask for the button
    } else if (line && !line->empty()) {
        // An answer to the button prompt.
        const std::string answer = trim(*line);
        std::optional<size_t> chosen;
        char* end = nullptr;
        long number = std::strtol(answer.c_str(), &end, 10);
        if (!answer.empty() && end && *end == '\0' && number >= 1 && number <= static_cast<long>(buttons.size()))
            chosen = static_cast<size_t>(number - 1);
        for (size_t i = 0; !chosen && i < buttons.size(); ++i)
            if (lower(buttons[i]) == lower(answer)) chosen = i;
        if (chosen && *chosen == 1 && !secondButtonEnabled(pending.request)) {
            prompt(session_, "\"" + buttons[1] + "\" is not available (\"" +
                     (pending.request.checkbox ? pending.request.checkbox->title : std::string("agreement")) +
                     "\" is not checked)\n");
            chosen.reset();
        } else if (!chosen) {
            prompt(session_, "please answer with a number from 1 to " + std::to_string(buttons.size()) + "\n");
        }
        if (chosen) {
            deliver(pending, ovn::kAlertFirstButtonReturn + static_cast<long>(*chosen));
            return;
        }
    } else if (!line) {
        // End of input: the cautious answer.
        size_t index = indexOf(buttons, "Cancel").value_or(0);
        prompt(session_, "(no answer: end of input)\n");
        deliver(pending, ovn::kAlertFirstButtonReturn + static_cast<long>(index));
        return;
    }

    std::string choices;
    for (size_t i = 0; i < buttons.size(); ++i) {
        choices += "[" + std::to_string(i + 1) + "] " + buttons[i];
        if (i == 1 && !secondButtonEnabled(pending.request)) choices += " (unavailable)";
        choices += "  ";
    }
    prompt(session_, choices + "> ");
    readLineAsync([self = shared_from_this(), pending](std::optional<std::string> next) {
        self->handleLine(pending, next, false);
    });
}

}  // namespace ovnctl
