// Alerts as the user meets them: sheets on the main window with the printer's picture, the update warning whose
// "Continue" follows "I Agree", a whole firmware update answered through its sheets, and quitting, which asks
// first while a printer is in the middle of an update.
#include <QPushButton>

#include "AppTestSupport.h"
#include "QtAlertPresenter.h"
#include "platform/Alerts.h"

namespace ovn::app::test {
namespace {

TEST_F(AppTest, PresenterShowsSheetsAndAnswersWithTheButtonIndex) {
    start("PL35:serial=P1");
    ASSERT_TRUE(waitForProbes(1));
    auto presenter = ovn::AlertPresenter::shared();
    ASSERT_TRUE(presenter);
    const std::string picture = *model()->printerAt(0)->imagePath();

    std::vector<long> answers;
    auto present = [&](ovn::AlertRequest request) {
        runAsMainQueueBlock([&] { presenter->present(request, [&](long r) { answers.push_back(r); }); });
    };

    ovn::AlertRequest three;
    three.title = "Three <b>buttons</b>";
    three.message = "Pick one";
    three.buttons = {"Proceed", "Later", "Cancel"};
    three.iconPath = picture;
    present(three);
    QMessageBox* box = waitForAlert("Three <b>buttons</b>");  // plain text, shown as it is
    ASSERT_TRUE(box);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->parentWidget(), window());
    EXPECT_EQ(box->informativeText(), "Pick one");
    EXPECT_FALSE(box->iconPixmap().isNull());
    EXPECT_EQ(buttonTexts(box), (std::vector<QString>{"Proceed", "Later", "Cancel"}));
    EXPECT_EQ(box->defaultButton()->text(), "Proceed");
    buttonWithText(box, "Cancel")->click();
    ASSERT_TRUE(waitFor([&] { return answers.size() == 1; }));
    EXPECT_EQ(answers.back(), 1002);

    // Return answers the first button, Escape the "Cancel" button.
    present(three);
    box = waitForAlert("Three");
    ASSERT_TRUE(box);
    QTest::keyClick(box, Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return answers.size() == 2; }));
    EXPECT_EQ(answers.back(), 1000);
    present(three);
    box = waitForAlert("Three");
    ASSERT_TRUE(box);
    QTest::keyClick(box, Qt::Key_Escape);
    ASSERT_TRUE(waitFor([&] { return answers.size() == 3; }));
    EXPECT_EQ(answers.back(), 1002);

    // A notice: no buttons of its own, application-modal.
    ovn::AlertRequest notice;
    notice.title = "A notice";
    notice.modality = ovn::AlertModality::Application;
    present(notice);
    box = waitForAlert("A notice");
    ASSERT_TRUE(box);
    EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(buttonTexts(box), std::vector<QString>{"OK"});
    box->buttons().front()->click();
    ASSERT_TRUE(waitFor([&] { return answers.size() == 4; }));
    EXPECT_EQ(answers.back(), 1000);
}

// Starts the update of the first printer and answers the warning with "I Agree" and "Continue".
void acceptWarning(AppTest& t, QMessageBox*& warning) {
    warning = waitForAlert("Attention:");
    ASSERT_TRUE(warning);
    ASSERT_TRUE(warning->checkBox());
    warning->checkBox()->click();
    QAbstractButton* cont = buttonWithText(warning, "Continue");
    ASSERT_TRUE(waitFor([&] { return cont->isEnabled(); }, 3000));
    cont->click();
    (void)t;
}

TEST_F(AppTest, UpdateWarningContinueFollowsTheCheckboxAndReturnQuits) {
    start("PL35:serial=W1:fw=PL35 01.40");
    ASSERT_TRUE(waitForProbes(1));
    ASSERT_TRUE(window()->updateFirmwareAction()->isEnabled());
    window()->updateFirmwareAction()->trigger();

    QMessageBox* warning = waitForAlert("Attention:");
    ASSERT_TRUE(warning);
    EXPECT_EQ(warning->windowModality(), Qt::WindowModal);
    EXPECT_FALSE(warning->iconPixmap().isNull());
    EXPECT_EQ(warning->informativeText(),
              "This update tool will upgrade the printer firmware to version PL35 01.52. This process cannot be undone");
    EXPECT_EQ(buttonTexts(warning), (std::vector<QString>{"Quit", "Continue"}));
    QCheckBox* agree = warning->checkBox();
    ASSERT_TRUE(agree);
    EXPECT_EQ(agree->text(), "I Agree");
    EXPECT_FALSE(agree->isChecked());
    QAbstractButton* cont = buttonWithText(warning, "Continue");
    EXPECT_FALSE(cont->isEnabled());

    agree->click();
    EXPECT_TRUE(waitFor([&] { return cont->isEnabled(); }, 3000));
    agree->click();
    EXPECT_TRUE(waitFor([&] { return !cont->isEnabled(); }, 3000));
    agree->click();
    EXPECT_TRUE(waitFor([&] { return cont->isEnabled(); }, 3000));

    // Return is "Quit", and with no update under way the program ends at once.
    EXPECT_EQ(warning->defaultButton()->text(), "Quit");
    QTest::keyClick(warning, Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 5000));
    EXPECT_EQ(findAlert("firmware update is in progress"), nullptr);
}

TEST_F(AppTest, FullFirmwareUpdateThroughTheSheets) {
    start("PL25D:serial=U1:fw=PL25DUP 1.30PRN:delay=300");
    ASSERT_TRUE(waitForProbes(1));
    EXPECT_EQ(cell(0, M::OfferedFirmwareColumn), "PL25DUP 1.40PRN");
    auto printer = emulator("U1");
    window()->updateFirmwareAction()->trigger();

    QMessageBox* warning = nullptr;
    acceptWarning(*this, warning);
    if (HasFatalFailure()) return;

    QMessageBox* confirm = waitForAlert("Are you certain you want to update the firmware?");
    ASSERT_TRUE(confirm);
    EXPECT_EQ(buttonTexts(confirm), (std::vector<QString>{"Cancel", "Update Firmware to PL25DUP 1.40PRN"}));
    buttonWithText(confirm, "Update Firmware to PL25DUP 1.40PRN")->click();

    // While it runs the commands are locked; the printer leaves and comes back twice.
    ASSERT_TRUE(waitFor([&] { return model()->firmwareUpdateUnderWay(); }, 5000));
    QMessageBox* done = waitForAlert("Firmware update was successful!", 60000);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->informativeText(), "Firmware version updated from PL25DUP 1.30PRN to PL25DUP 1.40PRN");
    EXPECT_EQ(done->windowModality(), Qt::WindowModal);
    EXPECT_EQ(buttonTexts(done), std::vector<QString>{"Finish"});
    buttonWithText(done, "Finish")->click();

    EXPECT_EQ(printer->firmwareVersion(), "PL25DUP 1.40PRN");
    EXPECT_EQ(printer->forbiddenCount(), 0u);
    EXPECT_EQ(printer->restartCount(), 2);
    // The commands are unlocked again.
    ASSERT_TRUE(waitFor([&] {
        return model()->rowCount() == 1 && cell(0, M::FirmwareColumn) == "PL25DUP 1.40PRN" &&
               window()->updateFirmwareAction()->isEnabled();
    }));
    EXPECT_FALSE(model()->firmwareUpdateUnderWay());

    // Afterwards quitting needs no question.
    window()->quitAction()->trigger();
    EXPECT_TRUE(waitFor([&] { return terminations == 1; }, 3000));
}

TEST_F(AppTest, QuittingDuringAnUpdateAsksFirstWithCancelAsDefault) {
    // A long restart, so that the printer is off the bus for a while.
    start("PL25D:serial=Q1:fw=PL25DUP 1.30PRN:delay=4000,PL35:serial=Q2");
    ASSERT_TRUE(waitForProbes(2));
    window()->updateFirmwareAction()->trigger();
    QMessageBox* warning = nullptr;
    acceptWarning(*this, warning);
    if (HasFatalFailure()) return;
    QMessageBox* confirm = waitForAlert("Are you certain");
    ASSERT_TRUE(confirm);
    buttonWithText(confirm, "Update Firmware to PL25DUP 1.40PRN")->click();
    ASSERT_TRUE(waitFor([&] { return model()->firmwareUpdateUnderWay(); }, 5000));
    EXPECT_TRUE(waitFor([&] { return !window()->updateFirmwareAction()->isEnabled(); }, 3000));

    // Asked while the printer is still listed ...
    window()->quitAction()->trigger();
    QMessageBox* question = waitForAlert("firmware update is in progress", 3000);
    ASSERT_TRUE(question);
    EXPECT_EQ(question->windowModality(), Qt::WindowModal);
    EXPECT_EQ(question->defaultButton()->text(), "Cancel");
    QTest::keyClick(question, Qt::Key_Return);
    ASSERT_TRUE(waitFor([] { return findAlert("firmware update is in progress") == nullptr; }, 3000));
    QTest::qWait(100);
    EXPECT_EQ(terminations, 0);

    // ... and while it is off the bus restarting: closing the window asks the same question.
    ASSERT_TRUE(waitFor([&] { return model()->isAway(0); }, 10000));
    EXPECT_TRUE(model()->firmwareUpdateUnderWay());
    window()->close();
    question = waitForAlert("firmware update is in progress", 3000);
    ASSERT_TRUE(question);
    EXPECT_TRUE(window()->isVisible());
    buttonWithText(question, "Quit Anyway")->click();
    EXPECT_TRUE(waitFor([&] { return terminations == 1; }, 3000));
}

TEST_F(AppTest, QuittingWithoutAnUpdateEndsAtOnceAndEmptiesTheList) {
    start("PL35:serial=E1,PL45:serial=E2");
    ASSERT_TRUE(waitForProbes(2));
    window()->quitAction()->trigger();
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(findAlert("firmware update is in progress"), nullptr);
    // The registry empties its list on the main queue: the table follows.
    EXPECT_TRUE(waitFor([&] { return model()->rowCount() == 0; }, 3000));
    EXPECT_TRUE(app->registry()->printers().empty());
}

}  // namespace
}  // namespace ovn::app::test
