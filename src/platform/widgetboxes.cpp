// The window system's message boxes.
#include "platform/widgetboxes.h"

#include "platform/dialoglayout.h"
#include "platform/messagebox.h"

#include <QMessageBox>

namespace platform {

void InstallWidgetMessageBoxes() {
    SetMessagePresenter([](const QString& text, int flags) {
        QString shown = text;
        shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        QMessageBox box(nullptr);
        box.setWindowTitle(ApplicationTitle());
        box.setFont(DialogFont());
        box.setText(shown);
        if (flags == kMbQuestion) {
            box.setIcon(QMessageBox::Question);
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::Yes);
            return box.exec() == QMessageBox::Yes ? kIdYes : kIdNo;
        }
        box.setIcon(flags == kMbInformation ? QMessageBox::Information : QMessageBox::Warning);
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
        return kIdOk;
    });
}

}  // namespace platform
