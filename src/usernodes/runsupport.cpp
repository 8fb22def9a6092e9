// What the two runs share.
#include "usernodes/runsupport.h"

#include <limits>

#include "component/texts.h"
#include "usernodes/statements.h"

namespace usernodes {

using component::Error;
namespace errnum = component::errnum;

const QString& RAdozudoConnectionText(const QString& connectionText) {
    if (connectionText.isEmpty()) throw Error(errnum::kAppBase, kSource, component::kNoDataSourceText);
    return connectionText;
}

std::unique_ptr<component::Connection> OpenRAdozudo(component::IndexingServices& services,
                                                    const QString& connectionText) {
    auto connection = services.OpenConnection(connectionText);
    Require(connection, QStringLiteral("OpenConnection"));
    return connection;
}

void CloseQuietly(std::unique_ptr<component::Connection>& connection) {
    if (!connection) return;
    try {
        connection->Close();
    } catch (const std::exception&) {
        // Closing after a failure; the failure is what counts.
    }
}

QString Quoted(const QString& userID) {
    return QLatin1Char('"') + userID + QLatin1Char('"');
}

QString ComputingStep(const QString& userID) {
    return QStringLiteral("Computing the user nodes of user ") + Quoted(userID);
}
QString WritingStep(const QString& userID) {
    return QStringLiteral("Writing the user nodes of user ") + Quoted(userID);
}

QString FailureSentence(const QString& step, const std::exception& failure) {
    if (step == kStepDataSource)
        return QStringLiteral(
                   "The data source \"%1\" is missing from the index's DbDataSources, so no user "
                   "nodes were computed.")
            .arg(kDataSource);
    const auto* error = dynamic_cast<const Error*>(&failure);
    QString message = error ? error->Description() : QString::fromLocal8Bit(failure.what());
    message = message.section(QLatin1Char('\n'), 0, 0).trimmed();
    while (message.endsWith(QLatin1Char('.'))) message.chop(1);
    return step + QStringLiteral(" failed: ") + message + QLatin1Char('.');
}

qint64 CountUnlistedUsers(component::IndexingServices& services, component::Connection& read) {
    try {
        auto result = services.OpenRecordset(read, kUnlistedUsersQuery);
        if (!result || result->IsEOF()) return -1;
        return ToWhole(result->Field(QStringLiteral("UNLISTED")), QStringLiteral("UNLISTED"), 0,
                       std::numeric_limits<qint64>::max());
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace usernodes
