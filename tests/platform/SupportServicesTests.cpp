// The small platform services: log channels and their capture, localised texts, resource lookup, the alert
// presenter and the termination handler.
#include "PlatformTestUtil.h"
#include "platform/Alerts.h"
#include "platform/Bundle.h"
#include "platform/Localization.h"
#include "platform/SystemLog.h"

using ovn::LogChannel;
using platform_test::LogCapture;
using platform_test::ScratchDir;

TEST(SystemLog, CaptureSeesEachLineOnItsChannelAsWritten) {
    LogCapture log;
    ovn::SystemLog::setMirrorToStdErr(false);
    testing::internal::CaptureStderr();
    ovn::SysLog("printer command queue:%s", "com.example.printer.OVN.PL25.123");
    ovn::StdErr("newPrinterCallback: %d (%s)", -536870212, "kIOReturnError");
    ovn::SysLogText("100% done %s %d");  // a ready line is not a format
    std::string long_(10000, 'x');
    ovn::SysLog("%s", long_.c_str());
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(log.lines(), (std::vector<std::pair<LogChannel, std::string>>{
                               {LogChannel::System, "printer command queue:com.example.printer.OVN.PL25.123"},
                               {LogChannel::StdErr, "newPrinterCallback: -536870212 (kIOReturnError)"},
                               {LogChannel::System, "100% done %s %d"},
                               {LogChannel::System, long_}}));
    // Without mirroring only the standard-error line reaches standard error, ended by one newline.
    EXPECT_EQ(err, "newPrinterCallback: -536870212 (kIOReturnError)\n");
}

TEST(SystemLog, MirrorCopiesSystemLinesToStandardError) {
    LogCapture log;
    ovn::SystemLog::setMirrorToStdErr(true);
    EXPECT_TRUE(ovn::SystemLog::mirrorToStdErr());
    testing::internal::CaptureStderr();
    ovn::SysLog("running probe on %s", "OVN PL25 123");
    ovn::SysLogText("ends with newline\n");
    ovn::StdErrText("direct\n");
    std::string err = testing::internal::GetCapturedStderr();
    ovn::SystemLog::setMirrorToStdErr(false);
    EXPECT_FALSE(ovn::SystemLog::mirrorToStdErr());
    EXPECT_EQ(err, "running probe on OVN PL25 123\nends with newline\ndirect\n");
    EXPECT_EQ(log.count(LogChannel::System, "running probe on OVN PL25 123"), 1u);
}

TEST(SystemLog, LinesFromManyThreadsAreAllCapturedWhole) {
    LogCapture log;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) ovn::SysLog("thread %d line %d", t, i);
        });
    for (auto& t : threads) t.join();
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 800u);
    for (auto& [channel, line] : lines) {
        EXPECT_EQ(channel, LogChannel::System);
        EXPECT_EQ(line.rfind("thread ", 0), 0u);
    }
    EXPECT_EQ(log.count(LogChannel::System, "thread 3 line 199"), 1u);
}

TEST(Localization, EnglishIsTheKeyAndTheFallback) {
    EXPECT_EQ(ovn::Localized("Firmware Update"), "Firmware Update");
    ovn::setTranslator([](const std::string& english) -> std::string {
        if (english == "Firmware Update") return "Mise à jour du micrologiciel";
        return "";  // not translated
    });
    EXPECT_EQ(ovn::Localized("Firmware Update"), "Mise à jour du micrologiciel");
    EXPECT_EQ(ovn::Localized("Cancel"), "Cancel") << "an untranslated text falls back to English";
    ovn::setTranslator(nullptr);
    EXPECT_EQ(ovn::Localized("Firmware Update"), "Firmware Update");
}

TEST(Bundle, ResourcesAreFoundOnlyInsideTheResourceDirectory) {
    ScratchDir dir;
    std::filesystem::create_directories(dir.file("firmware"));
    platform_test::writeFile(dir.file("firmware/PL25.srec"), "S0");
    ovn::Bundle::setResourceDirectory(dir.path().string());
    EXPECT_EQ(ovn::Bundle::resourceDirectory(), dir.path().string());
    EXPECT_EQ(ovn::Bundle::pathForResource("firmware/PL25.srec"), dir.file("firmware/PL25.srec"));
    EXPECT_FALSE(ovn::Bundle::pathForResource("firmware/missing.srec"));
    EXPECT_FALSE(ovn::Bundle::pathForResource("firmware")) << "a directory is not a resource";
    EXPECT_FALSE(ovn::Bundle::pathForResource(""));

    // Names that would leave the directory.
    platform_test::writeFile(dir.file("outside.bin"), "x");
    ovn::Bundle::setResourceDirectory(dir.file("firmware"));
    EXPECT_FALSE(ovn::Bundle::pathForResource("../outside.bin"));
    EXPECT_FALSE(ovn::Bundle::pathForResource(dir.file("outside.bin"))) << "absolute names are refused";
    EXPECT_FALSE(ovn::Bundle::pathForResource("/etc/passwd"));
    ovn::Bundle::setResourceDirectory("");
}

TEST(Bundle, EnvironmentNamesTheResourceDirectoryWhenNotOverridden) {
    ScratchDir dir;
    platform_test::EnvRestorer env("OVN_RESOURCE_DIR");
    ovn::Bundle::setResourceDirectory("");
    setenv("OVN_RESOURCE_DIR", dir.path().c_str(), 1);
    EXPECT_EQ(ovn::Bundle::resourceDirectory(), dir.path().string());
    platform_test::writeFile(dir.file("PL25.png"), "png");
    EXPECT_EQ(ovn::Bundle::pathForResource("PL25.png"), dir.file("PL25.png"));
    EXPECT_EQ(ovn::Bundle::shortVersionString(), "1.0.0");
    EXPECT_TRUE(std::filesystem::exists(ovn::Bundle::executablePath()));
}

namespace {
class ScriptedPresenter : public ovn::AlertPresenter {
public:
    void present(const ovn::AlertRequest& request, std::function<void(long)> completion) override {
        titles.push_back(request.title);
        completion(answer);
    }
    long answer = ovn::kAlertSecondButtonReturn;
    std::vector<std::string> titles;
};
}  // namespace

TEST(Alerts, SharedPresenterAndTerminationHandler) {
    EXPECT_EQ(ovn::kAlertFirstButtonReturn, 1000);
    EXPECT_EQ(ovn::kAlertSecondButtonReturn, 1001);
    auto presenter = std::make_shared<ScriptedPresenter>();
    ovn::AlertPresenter::setShared(presenter);
    long response = 0;
    ovn::AlertPresenter::shared()->present(ovn::AlertRequest{"Firmware Update", "", {}, ovn::AlertStyle::Warning,
                                                             ovn::AlertModality::Sheet, "", std::nullopt, nullptr,
                                                             "", ""},
                                           [&](long r) { response = r; });
    EXPECT_EQ(response, 1001);
    EXPECT_EQ(presenter->titles, (std::vector<std::string>{"Firmware Update"}));
    ovn::AlertPresenter::setShared(nullptr);
    EXPECT_EQ(ovn::AlertPresenter::shared(), nullptr);

    {
        LogCapture log;
        ovn::setTerminationHandler(nullptr);
        ovn::requestApplicationTermination();
        EXPECT_EQ(log.count(LogChannel::System, "termination requested, but no handler is installed"), 1u);
    }
    int terminated = 0;
    ovn::setTerminationHandler([&] { ++terminated; });
    ovn::requestApplicationTermination();
    EXPECT_EQ(terminated, 1);
    ovn::setTerminationHandler(nullptr);
}
