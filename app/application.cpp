// Start-up.
#include "app/application.h"
