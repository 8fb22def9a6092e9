// The About box.
#include "about/frmabout.h"
frmAbout::frmAbout(QWidget* parent) : QDialog(parent) {}
