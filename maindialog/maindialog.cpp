// The program's one window.
#include "maindialog/maindialog.h"
MainDialog::MainDialog(QWidget* parent) : QDialog(parent) {}
