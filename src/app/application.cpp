// Start-up.
#include "app/application.h"

#include <QApplication>
#include <QDir>

#include "cmdline/cmdline.h"
#include "component/factory.h"
#include "component/texts.h"
#include "maindialog/maindialog.h"
#include "platform/commandline.h"
#include "platform/headless.h"
#include "platform/messagebox.h"
#include "platform/widgetboxes.h"
#include "component/globals.h"
#include "report/report.h"
#include "zarvik/factory.h"

namespace app {
namespace {
using component::kCrLf;
const QString kAppSource = QStringLiteral("TessalyIndexManager");

}  // namespace

bool InitApplication(const QString& commandLine, const QString& programDir,
                     std::unique_ptr<maindialog::MainDialog>& dialog, platform::StatusTrace* statusTrace) {
    if (!cmdline::ParseCommandLine(commandLine)) return false;

    const QString indexName = cmdline::GetIndexName();
    const bool automated = cmdline::IsAutoMode();
    const bool log = cmdline::IsLogMode();

    if (automated && indexName.isEmpty()) {
        platform::ShowMessage(QStringLiteral("Automated run requires an index name.") + kCrLf +
                                  QStringLiteral("If you use /auto you must also supply /index."),
                              platform::kMbWarning);
        return false;
    }

    component::g_indexConfiguration = component::Factory().NewIndexConfiguration();

    const QString path = programDir + QDir::separator() + QStringLiteral("IndexConfiguration.xml");
    try {
        component::g_indexConfiguration->LoadFromFile(path);
    } catch (const std::exception& e) {
        component::Error error = component::AsError(e, kAppSource);
        error.SetDescription(QStringLiteral("Unable to initialize from ") + path + QStringLiteral(":") +
                             kCrLf + kCrLf + error.Description());
        report::ReportErrorAbsorbed(error);
        return false;
    }

    dialog = std::make_unique<maindialog::MainDialog>();
    dialog->SetStatusTrace(statusTrace);
    dialog->LoadIndexList(component::g_indexConfiguration->GetIndexList());

    if (!indexName.isEmpty() && !dialog->SelectCurrentIndex(indexName)) return false;

    try {
        std::shared_ptr<component::IndexingServices> services = component::Factory().NewIndexingServices();
        component::g_searchEngine = services->CreateEngine(programDir, programDir, log);
    } catch (const std::exception& e) {
        component::Error error = component::AsError(e, kAppSource);
        error.SetDescription(QStringLiteral("Unable to initialize engine:") + kCrLf + error.Description());
        report::ReportErrorAbsorbed(error);
        return false;
    }

    dialog->show();

    if (automated) {
        QCoreApplication::processEvents();
        dialog->DoBuildIndex(true);
    }
    return true;
}

int Main(int argc, char** argv) {
    platform::PrepareHeadless();
    QApplication application(argc, argv);
    // The program ends when the dialog unloads, not when some window closes.
    QApplication::setQuitOnLastWindowClosed(false);
    const bool headless = platform::IsHeadless();
    if (!headless) platform::InstallWidgetMessageBoxes();
    component::InstallFactory(zarvik::NewComponentFactory());

    platform::StatusTrace trace;
    std::unique_ptr<maindialog::MainDialog> dialog;
    bool started = false;
    try {
        started = InitApplication(platform::CommandLineText(QApplication::arguments().mid(1)),
                                  QDir::toNativeSeparators(QApplication::applicationDirPath()), dialog,
                                  headless ? &trace : nullptr);
    } catch (const std::exception& e) {
        const component::Error error = component::AsError(e, kAppSource);
        platform::ShowMessage(QStringLiteral("Unexpected error ") + report::HexNumber(error.Number()) +
                                  QStringLiteral(" in ") + error.Source() + QStringLiteral(":") + kCrLf +
                                  error.Description(),
                              platform::kMbWarning);
        return 1;
    }
    trace.Flush();
    if (!started) return 1;

    const auto exitStatus = [&dialog] { return dialog->AutomatedBuildFailed() ? 2 : 0; };
    // Unloaded already (a successful automated build): no event loop.
    if (!dialog->IsLoaded()) return exitStatus();
    // Without a display nobody can use the dialog: the run ends here.
    if (headless) return exitStatus();

    QObject::connect(dialog.get(), &maindialog::MainDialog::Unloaded, &application, &QCoreApplication::quit);
    QApplication::exec();
    return exitStatus();
}

}  // namespace app
