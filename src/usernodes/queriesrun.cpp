// One user, and all users, by one query per step.
#include "component/factory.h"
#include "usernodes/queriessource.h"
#include "usernodes/rules.h"
#include "usernodes/runsupport.h"
#include "usernodes/statements.h"
#include "usernodes/usernodes.h"

namespace usernodes {
namespace {

// After a failure: the rows not yet written are dropped and the user's transaction,
// if one is open, rolled back, so that the user keeps the old rows.
void AbandonRewrite(std::unique_ptr<component::UpdatableRecordset>& output, component::Connection* inTransaction) {
    if (output) {
        try {
            output->CancelBatch();
        } catch (const std::exception&) {
        }
    }
    output.reset();
    if (inTransaction) {
        try {
            inTransaction->RollbackTrans();
        } catch (const std::exception&) {
            // Closing the connection discards the transaction as well.
        }
    }
}

}  // namespace

bool UserNodeRun::PopulateUserNodes(const QString& userID) {
    m_failureReason.clear();
    QString step = kStepDataSource;
    std::shared_ptr<component::IndexingServices> services;
    std::unique_ptr<component::Connection> read;
    std::unique_ptr<component::Connection> write;
    std::unique_ptr<component::UpdatableRecordset> output;
    bool inTransaction = false;
    try {
        const QString& connectionText = RAdozudoConnectionText(m_settings.connectionText);
        services = component::Factory().NewIndexingServices();
        step = kStepConnecting;
        read = OpenRAdozudo(*services, connectionText);
        write = OpenRAdozudo(*services, connectionText);

        step = ComputingStep(userID);
        QueriesSource source(*services, *read, userID);
        const QVariantList catalogs = source.CatalogsOfUser();
        // The delete and the new rows are one unit: a failure keeps the old rows.
        step = WritingStep(userID);
        write->BeginTrans();
        inTransaction = true;
        write->Execute(DeleteRowsOfUser(userID));
        output = services->OpenUpdatableRecordset(*write, SelectRowsOfUser(userID));
        Require(output, QStringLiteral("The query"));

        step = ComputingStep(userID);
        RecordsetSink sink(*output, userID);
        UserRules rules(source, sink);
        for (const QVariant& catalog : catalogs) rules.Catalog(ToInt32(catalog, QStringLiteral("CATALOGID")));

        step = WritingStep(userID);
        output->UpdateBatch();
        write->CommitTrans();
        inTransaction = false;
        output.reset();
        read->Close();
        write->Close();
        return true;
    } catch (const std::exception& failure) {
        AbandonRewrite(output, inTransaction ? write.get() : nullptr);
        CloseQuietly(read);
        CloseQuietly(write);
        Fail(step, failure);
        return false;
    }
}

bool UserNodeRun::RunByQueries() {
    m_usersRewritten = 0;
    QString step = kStepDataSource;
    std::shared_ptr<component::IndexingServices> services;
    std::unique_ptr<component::Connection> users;
    try {
        const QString& connectionText = RAdozudoConnectionText(m_settings.connectionText);
        services = component::Factory().NewIndexingServices();
        step = kStepConnecting;
        users = OpenRAdozudo(*services, connectionText);
        step = kStepUsers;
        auto list = services->OpenRecordset(*users, kSelectListedUsers);
        Require(list, QStringLiteral("The user query"));
        while (!list->IsEOF()) {
            const QString userID = ToText(list->Field(QStringLiteral("USERID")), QStringLiteral("USERID"));
            // A failing user has already discarded its rows, told its reason and
            // asked for the abort.
            if (!PopulateUserNodes(userID)) {
                CloseQuietly(users);
                return false;
            }
            ++m_usersRewritten;
            list->MoveNext();
        }
        list.reset();
        m_unlistedUsers = CountUnlistedUsers(*services, *users);
        users->Close();
        return true;
    } catch (const std::exception& failure) {
        CloseQuietly(users);
        Fail(step, failure);
        return false;
    }
}

}  // namespace usernodes
