// The About box: the program's name and version, the engine it uses and a link to
// the engine's pages.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace about {

class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);

    // "Version 1.0.0": the program's own numbers in plain decimal.
    static QString VersionLine(int major, int minor, int revision);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnLoad();
    void OnOkClicked();
    void OnUrlClicked();

    QLabel* m_picture1 = nullptr;
    QLabel* m_titleLabel = nullptr;
    QLabel* m_versionLabel = nullptr;
    QLabel* m_urlLabel = nullptr;
    QPushButton* m_okButton = nullptr;
};

}  // namespace about
