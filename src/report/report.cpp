// Error reporting.
#include "report/report.h"

#include "component/factory.h"
#include "component/texts.h"
#include "platform/messagebox.h"
#include "component/globals.h"

namespace report {

std::shared_ptr<component::IndexConfiguration> g_indexConfiguration;
std::shared_ptr<component::SearchEngine> g_searchEngine;

namespace {
using component::kCrLf;
// Kept for the whole run, apart from the short-lived ones other code creates.
std::shared_ptr<component::IndexingServices> g_indexingServices;
}  // namespace

QString HexNumber(std::int32_t number) {
    return QString::number(static_cast<std::uint32_t>(number), 16).toUpper();
}

QString ErrorReportText(const component::Error& error) {
    return error.Description() + kCrLf + kCrLf + QStringLiteral("Error Source: ") + error.Source() + kCrLf +
           QStringLiteral("Error Number: ") + HexNumber(error.Number()) + kCrLf + kCrLf +
           QStringLiteral("Please contact your administrator.");
}

bool ReportError(const component::Error& error) {
    if (error.Number() == 0) return false;
    const QString text = ErrorReportText(error);
    LogEvent(text, 0);
    platform::ShowMessage(text, platform::kMbWarning);
    return true;
}

void ReportErrorAbsorbed(const component::Error& error) noexcept {
    try {
        ReportError(error);
    } catch (const std::exception& e) {
        const auto* raised = dynamic_cast<const component::Error*>(&e);
        const QString why = raised ? raised->Description() : QString::fromLocal8Bit(e.what());
        try {
            platform::ShowMessage(ErrorReportText(error) + kCrLf + kCrLf +
                                      QStringLiteral("This error could not be written to the event log:") +
                                      kCrLf + why,
                                  platform::kMbWarning);
        } catch (const std::exception&) {
            // Nothing is left to tell the user with.
        }
    }
}

void LogEvent(const QString& message, std::int32_t eventType) {
    if (!g_indexingServices) g_indexingServices = component::Factory().NewIndexingServices();
    const QString indexName = g_indexConfiguration ? g_indexConfiguration->IndexName() : QString();
    const QString source = QStringLiteral("TessalyIndexManager") + QStringLiteral(" (indexName=") +
                           indexName + QStringLiteral(")");
    g_indexingServices->WriteEventLog(source, message, eventType);
}

}  // namespace report
