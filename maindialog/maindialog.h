// The program's one window.
#pragma once
#include <QDialog>
class MainDialog : public QDialog {
    Q_OBJECT
public:
    explicit MainDialog(QWidget* parent = nullptr);
};
