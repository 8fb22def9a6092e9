// Start-up: parses the command line, loads the configuration, creates the engine,
// shows the main dialog and, in automated mode, runs the build.
#pragma once

#include <QString>
#include <memory>

class maindialog::MainDialog;
namespace platform {
class StatusTrace;
}

namespace app {

// The start-up sequence. True means the main dialog is up (it may have been
// unloaded again by a successful automated build). commandLine is the text after
// the program name; programDir holds IndexConfiguration.xml. The dialog is created
// into `dialog` when the index list is handed to it. Raises only where start-up
// has no handler of its own (creating the configuration object, filling the list).
bool InitApplication(const QString& commandLine, const QString& programDir, std::unique_ptr<maindialog::MainDialog>& dialog,
                     platform::StatusTrace* statusTrace);

// The process: 0 when the dialog was unloaded, 1 when start-up ended the program,
// 2 when an automated build failed.
int Main(int argc, char** argv);

}  // namespace app
