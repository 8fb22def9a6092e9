// The process entry point.
#include "app/application.h"

int main(int argc, char** argv) { return app::Main(argc, argv); }
