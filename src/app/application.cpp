// Start-up.
#include "app/application.h"

#include <QApplication>
#include <QDir>
#include <optional>

#include "cmdline/cmdline.h"
#include "component/factory.h"
#include "component/texts.h"
#include "maindialog/maindialog.h"
#include "run/builddriver.h"
#include "run/indexselection.h"
#include "platform/commandline.h"
#include "platform/headless.h"
#include "platform/messagebox.h"
#include "platform/widgetboxes.h"
#include "component/globals.h"
#include "report/report.h"
#include "zarvik/files/eventlog.h"
#include "zarvik/factory.h"

namespace app {
namespace {
using component::kCrLf;
using component::kProgramSource;

// The switches start-up acts on; nothing when the command line ended the program.
struct StartOptions {
    QString indexName;
    bool automated = false;
    bool log = false;
};

std::optional<StartOptions> ParseStartOptions(const QString& commandLine) {
    if (!cmdline::ParseCommandLine(commandLine)) return std::nullopt;
    StartOptions options{cmdline::GetIndexName(), cmdline::IsAutoMode(), cmdline::IsLogMode()};
    if (options.automated && options.indexName.isEmpty()) {
        platform::ShowMessage(QStringLiteral("Automated run requires an index name.") + kCrLf +
                                  QStringLiteral("If you use /auto you must also supply /index."),
                              platform::kMbWarning);
        return std::nullopt;
    }
    return options;
}

bool LoadConfiguration(const QString& programDir) {
    component::g_indexConfiguration = component::Factory().NewIndexConfiguration();
    const QString path = programDir + QDir::separator() + QStringLiteral("IndexConfiguration.xml");
    try {
        component::g_indexConfiguration->LoadFromFile(path);
        return true;
    } catch (const std::exception& e) {
        component::Error error = component::AsError(e, kProgramSource);
        error.SetDescription(QStringLiteral("Unable to initialize from ") + path + QStringLiteral(":") +
                             kCrLf + kCrLf + error.Description());
        report::ReportErrorAbsorbed(error);
        return false;
    }
}

bool CreateEngine(const QString& programDir, bool log) {
    try {
        std::shared_ptr<component::IndexingServices> services = component::Factory().NewIndexingServices();
        component::g_searchEngine = services->CreateEngine(programDir, programDir, log);
        return true;
    } catch (const std::exception& e) {
        component::Error error = component::AsError(e, kProgramSource);
        error.SetDescription(QStringLiteral("Unable to initialize engine:") + kCrLf + error.Description());
        report::ReportErrorAbsorbed(error);
        return false;
    }
}

bool StartDialog(const StartOptions& options, const QString& programDir,
                 std::unique_ptr<maindialog::MainDialog>& dialog, platform::StatusTrace* statusTrace) {
    if (!LoadConfiguration(programDir)) return false;
    dialog = std::make_unique<maindialog::MainDialog>();
    dialog->SetStatusTrace(statusTrace);
    dialog->LoadIndexList(component::g_indexConfiguration->GetIndexList());
    if (!options.indexName.isEmpty() && !dialog->SelectCurrentIndex(options.indexName)) return false;
    if (!CreateEngine(programDir, options.log)) return false;
    dialog->show();
    if (options.automated) {
        QCoreApplication::processEvents();
        dialog->DoBuildIndex(true);
    }
    return true;
}

int RunScheduled(const StartOptions& options, const QString& programDir) {
    if (!LoadConfiguration(programDir)) return 1;
    if (!run::SelectIndex(component::g_indexConfiguration->GetIndexList(), options.indexName)) return 1;
    if (!CreateEngine(programDir, options.log)) return 1;
    run::TraceView view;
    run::BuildDriver driver(view);
    return driver.Run(true) == run::BuildDriver::Outcome::Succeeded ? 0 : 2;
}

QString ProgramDir() {
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
}

// The arguments as the application object would read them, before there is one.
QStringList ArgumentsOf(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

int ReportUnexpected(const std::exception& e) {
    const component::Error error = component::AsError(e, kProgramSource);
    platform::ShowMessage(QStringLiteral("Unexpected error ") + report::HexNumber(error.Number()) +
                              QStringLiteral(" in ") + error.Source() + QStringLiteral(":") + kCrLf +
                              error.Description(),
                          platform::kMbWarning);
    return 1;
}

// Without a window, the reasons that reach only the event log go to standard error
// too, in order with the status trace, while this lives.
class EventEcho {
public:
    explicit EventEcho(platform::StatusTrace& trace) {
        zarvik::files::EchoEventsTo([&trace](const QString& line) {
            trace.Flush();
            platform::WriteStderr(line);
        });
    }
    ~EventEcho() { zarvik::files::EchoEventsTo({}); }
    EventEcho(const EventEcho&) = delete;
    EventEcho& operator=(const EventEcho&) = delete;
};

// Without a display nobody can use a dialog: the scheduled run (/auto) makes none and
// starts an application object without widgets; any other start ends once the
// dialog has done what its command line asked.
int MainWithoutDisplay(int argc, char** argv) {
    component::InstallFactory(zarvik::NewComponentFactory());
    platform::StatusTrace trace;
    const EventEcho echo(trace);
    try {
        // Messages go to standard error here, which needs no application object.
        const std::optional<StartOptions> options =
            ParseStartOptions(platform::CommandLineText(ArgumentsOf(argc, argv)));
        if (!options) return 1;
        if (options->automated) {
            const QCoreApplication application(argc, argv);
            const int status = RunScheduled(*options, ProgramDir());
            trace.Flush();
            return status;
        }
        const QApplication application(argc, argv);
        std::unique_ptr<maindialog::MainDialog> dialog;
        const bool started = StartDialog(*options, ProgramDir(), dialog, &trace);
        trace.Flush();
        if (!started) return 1;
        return dialog->AutomatedBuildFailed() ? 2 : 0;
    } catch (const std::exception& e) {
        return ReportUnexpected(e);
    }
}

int MainWithDisplay(int argc, char** argv) {
    QApplication application(argc, argv);
    // The program ends when the dialog unloads, not when some window closes.
    QApplication::setQuitOnLastWindowClosed(false);
    platform::InstallWidgetMessageBoxes();
    component::InstallFactory(zarvik::NewComponentFactory());
    const QString commandLine = platform::CommandLineText(QApplication::arguments().mid(1));
    std::unique_ptr<maindialog::MainDialog> dialog;
    bool started = false;
    try {
        started = InitApplication(commandLine, ProgramDir(), dialog, nullptr);
    } catch (const std::exception& e) {
        return ReportUnexpected(e);
    }
    if (!started) return 1;

    const auto exitStatus = [&dialog] { return dialog->AutomatedBuildFailed() ? 2 : 0; };
    // Unloaded already (a successful automated build): no event loop.
    if (!dialog->IsLoaded()) return exitStatus();
    QObject::connect(dialog.get(), &maindialog::MainDialog::Unloaded, &application, &QCoreApplication::quit);
    QApplication::exec();
    return exitStatus();
}

}  // namespace

bool InitApplication(const QString& commandLine, const QString& programDir,
                     std::unique_ptr<maindialog::MainDialog>& dialog, platform::StatusTrace* statusTrace) {
    const std::optional<StartOptions> options = ParseStartOptions(commandLine);
    return options && StartDialog(*options, programDir, dialog, statusTrace);
}

int Main(int argc, char** argv) {
    platform::PrepareHeadless();
    return platform::IsHeadless() ? MainWithoutDisplay(argc, argv) : MainWithDisplay(argc, argv);
}

}  // namespace app
