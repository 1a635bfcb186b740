#include "QtAlertPresenter.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include <algorithm>
#include <memory>
#include <vector>

#include "AppLocalization.h"
#include "GuiPoster.h"
#include "platform/Observable.h"

namespace ovn::app {

namespace {

constexpr int kIconSize = 64;
constexpr int kMessageWidth = 380;

QMessageBox::Icon standardIcon(ovn::AlertStyle style) {
    switch (style) {
        case ovn::AlertStyle::Critical: return QMessageBox::Critical;
        case ovn::AlertStyle::Informational: return QMessageBox::Information;
        case ovn::AlertStyle::Warning: break;
    }
    return QMessageBox::Warning;
}

bool readBool(const ovn::Value& value) { return ovn::valueAsBool(value).value_or(false); }

}  // namespace

QtAlertPresenter::QtAlertPresenter(std::function<QWidget*()> window) : window_(std::move(window)) {}

QMessageBox* QtAlertPresenter::createMessageBox(const ovn::AlertRequest& request, QWidget* parent) {
    auto* box = new QMessageBox(parent);
    box->setObjectName(QString::fromLatin1(kObjectName));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(QCoreApplication::applicationName());
    box->setTextFormat(Qt::PlainText);
    // The core's texts are English keys, shown in the user's language.
    box->setText(translateCoreText(request.title));
    if (!request.message.empty()) box->setInformativeText(translateCoreText(request.message));
    // The title stands out; long messages get a comfortable line length instead of a narrow column.
    if (auto* title = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        QFont bold = title->font();
        bold.setBold(true);
        title->setFont(bold);
    }
    if (auto* info = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        info->setMinimumWidth(std::min(kMessageWidth, info->fontMetrics().horizontalAdvance(info->text()) + 8));

    QPixmap picture;
    if (!request.iconPath.empty()) picture.load(qs(request.iconPath));
    if (!picture.isNull()) {
        box->setIconPixmap(picture.scaled(kIconSize, kIconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    } else {
        box->setIcon(standardIcon(request.style));
    }

    std::vector<std::string> titles = request.buttons;
    const bool platformOK = titles.empty();
    if (platformOK) titles.push_back("OK");
    QPushButton* cancel = nullptr;
    for (size_t i = 0; i < titles.size(); ++i) {
        const bool isCancel = titles[i] == "Cancel";
        QString text = translateCoreText(titles[i]);
        // The platform's own "OK" of a box without buttons follows the platform's language.
        if (platformOK) text = QCoreApplication::translate("QPlatformTheme", "OK");
        QPushButton* button = box->addButton(text, isCancel ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
        button->setProperty("ovnAlertIndex", static_cast<int>(i));
        if (i == 0) box->setDefaultButton(button);
        if (isCancel && !cancel) cancel = button;
    }
    if (cancel)
        box->setEscapeButton(cancel);
    else if (titles.size() == 1)
        box->setEscapeButton(box->defaultButton());
    return box;
}

void QtAlertPresenter::present(const ovn::AlertRequest& request, std::function<void(long)> completion) {
    QWidget* window = window_ ? window_() : nullptr;
    QMessageBox* box = createMessageBox(request, window);
    const bool sheet = request.modality == ovn::AlertModality::Sheet && window;
    box->setWindowModality(sheet ? Qt::WindowModal : Qt::ApplicationModal);

    if (request.checkbox) {
        auto* check = new QCheckBox(translateCoreText(request.checkbox->title), box);
        check->setChecked(request.checkbox->initiallyChecked);
        auto toggled = request.checkbox->toggled;
        QObject::connect(check, &QCheckBox::toggled, box, [toggled](bool on) {
            if (toggled) runAsMainQueueBlock([&] { toggled(on); });
        });
        box->setCheckBox(check);
    }

    // The second button follows a boolean key of an object for as long as the box is shown.
    if (request.enableSecondButtonObject && !request.enableSecondButtonKeyPath.empty()) {
        const QList<QAbstractButton*> buttons = box->buttons();
        QAbstractButton* second = nullptr;
        for (QAbstractButton* b : buttons)
            if (b->property("ovnAlertIndex").toInt() == 1) second = b;
        if (second) {
            auto object = request.enableSecondButtonObject;
            const std::string key = request.enableSecondButtonKeyPath;
            QPointer<QAbstractButton> target(second);
            second->setEnabled(readBool(object->valueForKey(key)));
            auto poster = std::make_shared<GuiPoster>(box);
            auto handle = poster->handle();
            auto token = std::make_shared<ovn::ObservationToken>(object->observe(
                key, [handle, target, object, key](const std::string&, const ovn::KeyValueChange&) {
                    GuiPoster::post(handle, [target, object, key] {
                        if (target) target->setEnabled(readBool(object->valueForKey(key)));
                    });
                }));
            // The observation ends with the box; the poster is detached before the box goes.
            QObject::connect(box, &QObject::destroyed, [poster, token]() mutable {
                token->reset();
                poster.reset();
            });
        }
    }

    QObject::connect(box, &QMessageBox::finished, box, [box, completion](int) {
        QAbstractButton* clicked = box->clickedButton();
        if (!clicked) return;
        const long response = ovn::kAlertFirstButtonReturn + clicked->property("ovnAlertIndex").toInt();
        if (completion) runAsMainQueueBlock([&] { completion(response); });
    });
    // open() would make any dialog window-modal; an application-modal notice is shown without waiting too.
    if (sheet)
        box->open();
    else
        box->show();
}

}  // namespace ovn::app
