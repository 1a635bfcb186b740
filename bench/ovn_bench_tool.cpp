// Benchmarks that need a process of their own or the printer objects on the virtual bus. Each prints one
// line of "key=value" figures for bench/run.sh.
//
//   ovn_bench_tool make-image PATH MEGABYTES
//       writes a valid S-record image of that size
//   ovn_bench_tool frame-memory IMAGE
//       the upload of an image through a printer object (read and check into one buffer, frame built in
//       place, one bulk transfer); peak resident memory of the process, which does nothing else
//   ovn_bench_tool probe N REPLY_LATENCY_US
//       N emulated printers plugged in, the registry started: time until every printer has stored the last
//       property of its probe, and the CPU time used
//   ovn_bench_tool stall IMAGE
//       the longest main-queue block while the image is written to an emulated printer in firmware-update
//       mode and the printer restarts
//   ovn_bench_tool update
//       the whole firmware update of an emulated PL45 through the registry (the delivered image, both
//       restarts, the colour tables): its time and the longest main-queue block
//   ovn_bench_tool cpu-time N COMMAND [ARG...]
//       runs the command N times (output discarded) and prints the least CPU time (user and system) one
//       run took, as the kernel accounts it for the child: the reference programs' figure
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Classes/OVNProtocol.h"
#include "Classes/OVNSRecord.h"
#include "Classes/ZVPrinters.h"
#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/DispatchQueue.h"
#include "sim/SimulatedPrinters.h"

using namespace std::chrono;
namespace proto = ovn::protocol;
namespace srec = ovn::OVNSRecord;

namespace {

double msSince(steady_clock::time_point t0) { return duration<double, std::milli>(steady_clock::now() - t0).count(); }

[[noreturn]] void finish(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    // The emulators' timers and the queues' threads are not torn down one by one: the figures are printed.
    _exit(status);
}

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "ovn_bench_tool: %s\n", why.c_str());
    finish(1);
}

std::shared_ptr<ovn::sim::OvnPrinterEmulator> makeEmulator(ovn::sim::PrinterModel model, size_t index,
                                                           const std::string& rawStatus) {
    ovn::sim::EmulatorConfig config;
    config.model = model;
    config.locationId = ovn::sim::SimulatedPrinters::defaultLocation(index);
    char serial[32];
    std::snprintf(serial, sizeof serial, "B%08zu", index + 1);
    config.serial = serial;
    config.rawStatus = rawStatus;
    config.restartDelayMs = 100;
    config.settleMs = 100;
    return ovn::sim::OvnPrinterEmulator::create(config);
}

// Waits until the printer's command queue and the main queue have stayed idle for a while.
void settle(const std::shared_ptr<ZVUSBPrinterOVN>& printer) {
    for (int stable = 0; stable < 3;) {
        auto queue = printer->printerCommandQueue();
        bool idle = bench::runMainUntil(
            [&] {
                return (!queue || queue->pendingCount() == 0) && ovn::DispatchQueue::main()->pendingCount() == 0;
            },
            seconds(20));
        if (!idle) fail("the printer did not settle");
        ovn::MainRunLoop::runFor(milliseconds(20));
        stable = (!queue || queue->pendingCount() == 0) && ovn::DispatchQueue::main()->pendingCount() == 0 ? stable + 1 : 0;
    }
}

// One printer object over an emulated printer, made the way the registry makes it.
std::shared_ptr<ZVUSBPrinterOVN> printerFor(const std::shared_ptr<ovn::sim::OvnPrinterEmulator>& emulator,
                                            const std::shared_ptr<bench::Tap>& tap) {
    auto plugged = bench::Bus::shared().plugAndWait(emulator->description(), tap);
    if (!plugged) fail("the emulated printer did not arrive");
    std::shared_ptr<ZVUSBPrinterOVN> printer;
    bench::onMain([&] { printer = ZVUSBPrinter::create<ZVUSBPrinterOVN>(plugged->interface, plugged->service); });
    if (!printer) fail("no printer object");
    settle(printer);
    return printer;
}

int makeImage(const std::string& path, const std::string& megabytes) {
    const size_t bytes = static_cast<size_t>(std::strtoull(megabytes.c_str(), nullptr, 10)) << 20;
    if (bytes == 0 || !bench::makeSRecordImage(path, bytes)) fail("cannot write " + path);
    if (!srec::verifyMotorolaSFile(std::filesystem::path(path))) fail("the generated image fails the check");
    std::printf("image=%s bytes=%zu\n", path.c_str(), static_cast<size_t>(std::filesystem::file_size(path)));
    return 0;
}

int frameMemory(const std::string& imagePath) {
    auto presenter = std::make_shared<bench::Presenter>();
    ovn::AlertPresenter::setShared(presenter);
    auto emulator = makeEmulator(ovn::sim::PrinterModel::PL45, 0, "00000");
    // Frames above 1 MB stop at the tap: the emulator would keep a copy of the image of its own.
    auto tap = std::make_shared<bench::Tap>(emulator, microseconds(0), size_t{1} << 20);
    auto printer = printerFor(emulator, tap);

    const long baselineKiB = bench::peakRssKiB();
    std::atomic<bool> done{false};
    double readMs = 0, sendMs = 0;
    size_t fileLength = 0;
    IOReturn writeStatus = kIOReturnError;
    printer->openInterface([&](IOReturn result) {
        if (result == kIOReturnSuccess) {
            auto t0 = steady_clock::now();
            auto image = srec::readFirmwareImage(imagePath);
            readMs = msSince(t0);
            if (image) {
                fileLength = image->fileLength();
                auto t1 = steady_clock::now();
                printer->sendPrinterCommand(proto::kCmdFlashProgram, proto::FramedPayload::adopt(image->takeBuffer()));
                sendMs = msSince(t1);
                writeStatus = printer->writeStatus();
            }
            printer->closeInterface(nullptr);
        }
        done = true;
    });
    if (!bench::runMainUntil([&] { return done.load(); }, seconds(120))) fail("the upload did not finish");
    if (fileLength == 0) fail("the image was refused");
    if (writeStatus != kIOReturnSuccess || tap->sunkFrames() != 1) fail("the frame did not reach the printer");
    std::printf("image_bytes=%zu frame_bytes=%zu read_check_ms=%.2f frame_write_ms=%.2f baseline_rss_kib=%ld "
                "peak_rss_kib=%ld\n",
                fileLength, tap->sunkBytes(), readMs, sendMs, baselineKiB, bench::peakRssKiB());
    return 0;
}

int probe(size_t count, long latencyUs) {
    auto& bus = bench::Bus::shared();
    std::vector<std::shared_ptr<ovn::sim::OvnPrinterEmulator>> emulators;
    for (size_t i = 0; i < count; ++i) {
        auto emulator = makeEmulator(ovn::sim::PrinterModel::PL35, i, "00000");
        bus.bus->plug(emulator->description(), std::make_shared<bench::Tap>(emulator, microseconds(latencyUs)));
        emulators.push_back(emulator);
    }
    ovn::MainRunLoop::runFor(milliseconds(50));  // the arrivals are announced; nobody listens yet

    // Every printer is probed twice (by its own first probe and by the registry); the figure ends when the
    // last property of the last probe is stored: every printer has its USB serial-number setting (the last
    // query of a probe) and nothing is left to run on any command queue or on the main queue.
    std::shared_ptr<ZVPrinters> registry;
    auto probed = [&] {
        auto printers = registry->printers();
        if (printers.size() != count) return false;
        if (ovn::DispatchQueue::main()->pendingCount() != 0) return false;
        for (const auto& p : printers) {
            if (!p->deviceInfoDict()->contains(QELMOR_OVN_USB_ISerialisSet)) return false;
            auto queue = p->printerCommandQueue();
            if (queue && queue->pendingCount() != 0) return false;
        }
        return true;
    };
    const double cpu0 = bench::cpuSeconds();
    const auto t0 = steady_clock::now();
    bench::onMain([&] {
        registry = ZVPrinters::create();
        registry->addAcceptedProductID(proto::kProductPL35);
        registry->getPrintingDevices();
    });
    // Checked at least every millisecond (the main queue's own wait is up to 10 ms when nothing arrives).
    const auto deadline = steady_clock::now() + seconds(120);
    while (!bench::runMainUntil(probed, milliseconds(1))) {
        if (steady_clock::now() > deadline) fail("not every printer was probed");
    }
    const double wallMs = msSince(t0);
    const double cpuMs = (bench::cpuSeconds() - cpu0) * 1000.0;
    size_t frames = 0;
    for (const auto& e : emulators) frames += e->frameCount();
    std::printf("printers=%zu latency_us=%ld wall_ms=%.2f cpu_ms=%.2f cpu_per_probe_ms=%.3f frames=%zu\n", count,
                latencyUs, wallMs, cpuMs, cpuMs / static_cast<double>(count), frames);
    return 0;
}

int stall(const std::string& imagePath) {
    auto presenter = std::make_shared<bench::Presenter>();
    ovn::AlertPresenter::setShared(presenter);
    // In firmware-update mode: the set-up offers the update, which is declined here; the image then goes
    // out the way the upload step sends it.
    auto emulator = makeEmulator(ovn::sim::PrinterModel::PL45, 0, proto::kRawStatusFirmwareUpdateMode);
    auto tap = std::make_shared<bench::Tap>(emulator, microseconds(0));
    auto printer = printerFor(emulator, tap);

    std::atomic<bool> written{false};
    size_t fileLength = 0;
    const auto restartsBefore = emulator->restartCount();
    ovn::MainRunLoop::resetLongestBlock();
    const auto t0 = steady_clock::now();
    printer->openInterface([&](IOReturn result) {
        if (result == kIOReturnSuccess) {
            printer->setOverridePrinterStatus("Writing firmware ...");
            auto image = srec::readFirmwareImage(imagePath);
            if (image) {
                fileLength = image->fileLength();
                printer->deviceInfoDict()->set(QELMOR_ZVPrinterDeviceFirmwareStatus,
                                               static_cast<int64_t>(ZVFirmwareUpdateRebooting));
                printer->sendPrinterCommand(proto::kCmdFlashProgram, proto::FramedPayload::adopt(image->takeBuffer()));
            }
            printer->closeInterface(nullptr);
        }
        written = true;
    });
    if (!bench::runMainUntil([&] { return written.load(); }, seconds(120))) fail("the image was not written");
    const double writeMs = msSince(t0);
    if (fileLength == 0) fail("the image was refused");
    // The printer takes the image, leaves the bus and comes back: those notifications reach the main queue too.
    bench::runMainUntil([&] { return emulator->restartCount() > restartsBefore && emulator->isOnBus(); }, seconds(30));
    ovn::MainRunLoop::runFor(milliseconds(300));
    const double longestMs = duration<double, std::milli>(ovn::MainRunLoop::longestBlock()).count();
    std::printf("image_bytes=%zu write_ms=%.2f restarted=%d longest_main_block_ms=%.3f\n", fileLength, writeMs,
                emulator->restartCount() > restartsBefore ? 1 : 0, longestMs);
    return 0;
}

int update() {
    auto presenter = std::make_shared<bench::Presenter>();
    presenter->answer("Attention:", ovn::kAlertSecondButtonReturn);  // "Update Firmware"
    ovn::AlertPresenter::setShared(presenter);
    auto emulator = makeEmulator(ovn::sim::PrinterModel::PL45, 0, proto::kRawStatusFirmwareUpdateMode);
    bench::Bus::shared().bus->plug(emulator->description(), std::make_shared<bench::Tap>(emulator, microseconds(0)));
    ovn::MainRunLoop::runFor(milliseconds(50));

    std::shared_ptr<ZVPrinters> registry;
    ovn::MainRunLoop::resetLongestBlock();
    const auto t0 = steady_clock::now();
    bench::onMain([&] {
        registry = ZVPrinters::create();
        registry->addAcceptedProductID(proto::kProductPL45);
        registry->getPrintingDevices();
    });
    auto ended = [&] {
        return presenter->sawTitleStartingWith("Firmware update was successful!") ||
               presenter->sawTitleStartingWith("There was a problem with the firmware");
    };
    // With OVN_BENCH_TRACE set, every new longest block is shown with what had happened by then.
    const bool trace = std::getenv("OVN_BENCH_TRACE") != nullptr;
    nanoseconds shown{0};
    const auto deadline = steady_clock::now() + seconds(120);
    bool finished = false;
    while (!(finished = bench::runMainUntil(ended, milliseconds(trace ? 1 : 100))) && steady_clock::now() < deadline) {
        if (trace && ovn::MainRunLoop::longestBlock() > shown) {
            shown = ovn::MainRunLoop::longestBlock();
            std::fprintf(stderr, "%8.1f ms: longest block %.3f ms; alerts %zu; emulator frames %zu, restarts %d\n",
                         msSince(t0), duration<double, std::milli>(shown).count(), presenter->titles().size(),
                         emulator->frameCount(), emulator->restartCount());
        }
    }
    const double totalMs = msSince(t0);
    const double longestMs = duration<double, std::milli>(ovn::MainRunLoop::longestBlock()).count();
    if (!finished) {
        std::string seen;
        for (const auto& t : presenter->titles()) seen += " [" + t + "]";
        fail("the update did not finish; alerts:" + seen);
    }
    std::printf("success=%d total_ms=%.2f longest_main_block_ms=%.3f firmware=%s\n",
                presenter->sawTitleStartingWith("Firmware update was successful!") ? 1 : 0, totalMs, longestMs,
                emulator->firmwareVersion().c_str());
    return 0;
}

int cpuTime(int runs, const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    double best = -1;
    for (int i = 0; i < runs; ++i) {
        pid_t pid = fork();
        if (pid < 0) fail("fork failed");
        if (pid == 0) {
            int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, 1);
                dup2(null, 2);
            }
            execvp(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            fail("the command failed: " + command[0]);
        const double seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        if (best < 0 || seconds < best) best = seconds;
    }
    std::printf("cpu_s=%.6f\n", best);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bench::quietLogs();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::string command = args.empty() ? "" : args[0];
    if (command == "make-image" && args.size() == 3) return makeImage(args[1], args[2]);
    if (command == "frame-memory" && args.size() == 2) finish(frameMemory(args[1]));
    if (command == "probe" && args.size() == 3)
        finish(probe(static_cast<size_t>(std::strtoul(args[1].c_str(), nullptr, 10)), std::strtol(args[2].c_str(), nullptr, 10)));
    if (command == "stall" && args.size() == 2) finish(stall(args[1]));
    if (command == "update" && args.size() == 1) finish(update());
    if (command == "cpu-time" && args.size() >= 3)
        return cpuTime(std::atoi(args[1].c_str()), std::vector<std::string>(args.begin() + 2, args.end()));
    std::fprintf(stderr,
                 "usage: ovn_bench_tool make-image PATH MEGABYTES | frame-memory IMAGE | probe N REPLY_LATENCY_US |\n"
                 "       stall IMAGE | update | cpu-time N COMMAND [ARG...]\n");
    return 2;
}
