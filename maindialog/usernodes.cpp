// Recomputes which catalog nodes each user may see (USERNODE).
#include "maindialog/usernodes.h"
