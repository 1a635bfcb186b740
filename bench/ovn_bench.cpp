// Throughput of the firmware file work, with Google Benchmark:
//   srec_check/<file>       the S-record line check over an image already in memory
//   srec_check_file/<file>  reading the file and checking it (what a caller holding only a path gets)
//   file_hash/<file>        the catalogue's file hash (HMAC-SHA256 keyed with the class name) of the file
//   image_to_frame/<file>   the upload's image: read into one buffer, checked, padded, framed in place
//   archive_check/<model>   the archive check of a catalogue row (every file of the model hashed), which the
//                           update workflow runs before its steps
//
// Files: the largest firmware image among the delivered data, and the image that $OVN_BENCH_IMAGE names
// (bench/run.sh generates a 64 MB one). Every figure is reported as bytes per second of the file. With
// $OVN_BENCH_BEST_OF=N every benchmark runs N repetitions of one iteration each, so that bench/run.sh can set
// the best single run (in CPU time, which other work on a shared machine disturbs least) beside the best
// single run of a reference program.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/OVNProtocol.h"
#include "Classes/OVNSRecord.h"
#include "platform/Bundle.h"
#include "platform/Value.h"

namespace {

// Applies the run settings shared by every benchmark.
void configure(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond);
    if (const char* bestOf = std::getenv("OVN_BENCH_BEST_OF")) {
        const int n = std::atoi(bestOf);
        if (n > 0) b->Iterations(1)->Repetitions(n);
    }
}

namespace srec = ovn::OVNSRecord;
namespace proto = ovn::protocol;
namespace catalogue = ovn::OVNFirmwareCatalogue;

struct BenchFile {
    std::string name;
    std::string path;
    int64_t size = 0;
};

std::vector<BenchFile> benchFiles() {
    std::vector<BenchFile> files;
    BenchFile largest;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(ovn::Bundle::resourceDirectory(), ec)) {
        if (entry.path().extension() != ".fw" || !entry.is_regular_file()) continue;
        const auto size = static_cast<int64_t>(entry.file_size());
        if (size > largest.size) largest = {"delivered", entry.path().string(), size};
    }
    if (largest.size > 0) files.push_back(largest);
    if (const char* image = std::getenv("OVN_BENCH_IMAGE")) {
        std::error_code e2;
        const auto size = static_cast<int64_t>(std::filesystem::file_size(image, e2));
        if (!e2) files.push_back({"generated", image, size});
    }
    return files;
}

void registerFor(const BenchFile& file) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(bench::readFile(file.path));

    configure(benchmark::RegisterBenchmark(("srec_check/" + file.name).c_str(), [bytes](benchmark::State& state) {
        for (auto _ : state) {
            srec::SRecCheck check = srec::checkSRecData(std::span<const uint8_t>(*bytes));
            benchmark::DoNotOptimize(check);
            if (!check.passed()) state.SkipWithError("the image fails the check");
        }
        state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes->size()));
    }));

    configure(benchmark::RegisterBenchmark(("srec_check_file/" + file.name).c_str(), [file](benchmark::State& state) {
        for (auto _ : state) {
            bool ok = srec::verifyMotorolaSFile(std::filesystem::path(file.path));
            benchmark::DoNotOptimize(ok);
            if (!ok) state.SkipWithError("the image fails the check");
        }
        state.SetBytesProcessed(state.iterations() * file.size);
    }));

    configure(benchmark::RegisterBenchmark(("file_hash/" + file.name).c_str(), [file](benchmark::State& state) {
        for (auto _ : state) {
            catalogue::FileHash hash = catalogue::fileHashAtPath(catalogue::kPrinterClassName, file.path);
            benchmark::DoNotOptimize(hash);
            if (hash.status != catalogue::FileHash::Status::Hashed) state.SkipWithError("the file was not hashed");
        }
        state.SetBytesProcessed(state.iterations() * file.size);
    }));

    configure(benchmark::RegisterBenchmark(("image_to_frame/" + file.name).c_str(), [file](benchmark::State& state) {
        for (auto _ : state) {
            auto image = srec::readFirmwareImage(file.path);
            if (!image) {
                state.SkipWithError("the image was refused");
                break;
            }
            proto::FrameBuildResult frame =
                proto::buildCommandFrame(proto::kCmdFlashProgram, proto::FramedPayload::adopt(image->takeBuffer()));
            benchmark::DoNotOptimize(frame.frame.data());
            if (!frame.sendable) state.SkipWithError("the frame cannot be sent");
        }
        state.SetBytesProcessed(state.iterations() * file.size);
    }));
}

void registerArchiveCheck() {
    const catalogue::CatalogueRow* largest = nullptr;
    int64_t largestBytes = 0;
    for (const auto& row : catalogue::catalogue()) {
        int64_t bytes = 0;
        for (const auto& name : row.files) {
            std::error_code ec;
            if (auto path = catalogue::resourcePath(name)) bytes += static_cast<int64_t>(std::filesystem::file_size(*path, ec));
        }
        if (bytes > largestBytes) {
            largestBytes = bytes;
            largest = &row;
        }
    }
    if (!largest) return;
    const uint16_t productID = largest->productID;
    configure(benchmark::RegisterBenchmark(("archive_check/" + largest->model).c_str(), [productID, largestBytes](benchmark::State& state) {
        for (auto _ : state) {
            ovn::DeviceInfoDict info;
            bool ok = catalogue::verifyFirmwareArchive(productID, catalogue::kPrinterClassName, info, nullptr);
            benchmark::DoNotOptimize(ok);
            if (!ok) state.SkipWithError("the delivered files do not match the catalogue");
        }
        state.SetBytesProcessed(state.iterations() * largestBytes);
    }));
}

}  // namespace

int main(int argc, char** argv) {
    bench::quietLogs();
    for (const BenchFile& file : benchFiles()) registerFor(file);
    registerArchiveCheck();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
