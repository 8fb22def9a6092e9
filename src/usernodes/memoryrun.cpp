// The all-users run with the catalog read once and held in memory.
#include <QSet>
#include <QStringList>

#include "component/factory.h"
#include "usernodes/memorycatalog.h"
#include "usernodes/rules.h"
#include "usernodes/runsupport.h"
#include "usernodes/statements.h"
#include "usernodes/usernodes.h"

namespace usernodes {
namespace {

using component::Error;
namespace errnum = component::errnum;

// Rewrites go to the database in groups of about this many users or rows: one
// transaction and one round trip per group rather than per user, and a bounded
// amount held in memory.
constexpr qsizetype kUsersPerSend = 256;
constexpr qsizetype kRowsPerSend = 32768;

// The run over every listed user with the catalog in memory, step by step. `step`
// always says what it was doing, for the failure reason.
class MemoryRun {
public:
    explicit MemoryRun(QString& step) : m_step(step) {}

    ~MemoryRun() {
        m_assignments.reset();
        m_batch.reset();
        CloseQuietly(m_read);
        CloseQuietly(m_write);
    }

    void Open(const QString& givenText) {
        m_step = kStepDataSource;
        const QString& connectionText = RAdozudoConnectionText(givenText);
        m_services = component::Factory().NewIndexingServices();
        m_step = kStepConnecting;
        m_read = OpenRAdozudo(*m_services, connectionText);
        m_write = OpenRAdozudo(*m_services, connectionText);
    }

    void ReadCatalog() {
        m_step = kStepCatalog;
        auto nodes = m_services->OpenRowStream(*m_read, MemoryCatalog::kQuery);
        Require(nodes, QStringLiteral("The catalog query"));
        m_catalog.Read(*nodes);
    }

    void OpenAssignmentsAndBatch() {
        m_step = kStepAssignments;
        m_assignments = m_services->OpenRowStream(*m_read, kAssignmentQuery);
        Require(m_assignments, QStringLiteral("The user query"));
        m_batch = m_services->OpenRewriteBatch(
            *m_write, QStringLiteral("USERNODE"),
            {QStringLiteral("CATALOGID"), QStringLiteral("USERID"), QStringLiteral("NODEID")});
        Require(m_batch, QStringLiteral("OpenRewriteBatch"));
    }

    // Every user of the assignments, in their order, each computed once its rows are
    // all read.
    void RewriteEveryUser() {
        QVariantList row;
        while (NextAssignment(row)) m_source.Add(row.value(1), row.value(2), row.value(3));
        if (m_haveUser) FinishUser();
        Send();
        m_assignments.reset();
    }

    // Closes what the run opened; raises what closing raises.
    void Close() {
        m_batch.reset();
        m_read->Close();
        m_write->Close();
    }

    qint64 CountUnlisted() { return CountUnlistedUsers(*m_services, *m_read); }

    // After a failure: the users finished before it are sent, so that they keep their
    // new rows.
    void SendFinishedUsers() {
        if (!m_batch) return;
        const QString step = m_step;
        try {
            Send();
        } catch (const std::exception&) {
            m_batch->Cancel();
        }
        m_step = step;  // the first failure is the one reported
    }

    qint64 UsersRewritten() const { return m_usersRewritten; }

private:
    // The next assignment row into `row`, after finishing the user before it when
    // the row starts another one; false at the end.
    bool NextAssignment(QVariantList& row) {
        m_step = m_haveUser ? ComputingStep(m_user) : kStepAssignments;
        if (!m_assignments->Next(row)) return false;
        // The user before a USERID that cannot be read is done before it fails, as
        // it would be when the users are listed one by one.
        const QVariant id = row.value(0);
        if (m_haveUser && (id.isNull() || id.toString() != m_user)) {
            FinishUser();
            m_haveUser = false;
            m_step = kStepAssignments;
        }
        const QString userID = ToText(id, QStringLiteral("USERID"));
        if (!m_haveUser) StartUser(userID);
        return true;
    }

    void StartUser(const QString& userID) {
        // The rows of a user come together; a user met again would lose the rows of
        // its first part.
        if (m_done.contains(userID))
            throw Error(errnum::kDatabase, kSource,
                        QStringLiteral("The assignments of user %1 did not come together").arg(userID));
        m_done.insert(userID);
        m_user = userID;
        m_haveUser = true;
        m_step = ComputingStep(userID);
        m_source.Clear();
    }

    // The rows of one user go into the batch only once the whole user succeeded.
    void FinishUser() {
        m_step = ComputingStep(m_user);
        CollectingSink sink;
        UserRules rules(m_source, sink);
        for (const QVariant& catalogID : m_source.CatalogsOfUser())
            rules.Catalog(ToInt32(catalogID, QStringLiteral("CATALOGID")));
        m_batch->BeginUnit(DeleteRowsOfUser(m_user));
        m_pendingUsers.append(m_user);
        QVariantList row{QVariant(), QVariant(m_user), QVariant()};
        for (const auto& [catalogID, nodeID] : sink.rows) {
            row[0] = catalogID;
            row[2] = nodeID;
            m_batch->AddRow(row);
        }
        if (m_batch->PendingUnits() >= kUsersPerSend || m_batch->PendingRows() >= kRowsPerSend) Send();
    }

    // A user counts as rewritten once its group is committed.
    void Send() {
        try {
            m_batch->Send();
        } catch (const Error& error) {
            const qsizetype committed = m_batch->UnitsCommitted();
            m_usersRewritten += committed;
            m_step = SendStep(error, committed);
            m_pendingUsers.clear();
            throw;
        }
        m_usersRewritten += m_batch->UnitsCommitted();
        m_pendingUsers.clear();
    }

    // The user whose rows the database refused, or the group whose commit failed.
    QString SendStep(const Error& error, qsizetype committed) const {
        if (committed < m_pendingUsers.size() &&
            error.Description().startsWith(QStringLiteral("Rewriting the rows of")))
            return WritingStep(m_pendingUsers[committed]);
        if (m_pendingUsers.isEmpty()) return kStepAssignments;
        return QStringLiteral("Committing the user nodes of users %1 to %2")
            .arg(Quoted(m_pendingUsers.first()), Quoted(m_pendingUsers.last()));
    }

    QString& m_step;
    std::shared_ptr<component::IndexingServices> m_services;
    std::unique_ptr<component::Connection> m_read;
    std::unique_ptr<component::Connection> m_write;
    std::unique_ptr<component::RowStream> m_assignments;
    std::unique_ptr<component::RewriteBatch> m_batch;
    MemoryCatalog m_catalog;
    MemorySource m_source{m_catalog};
    QString m_user;
    bool m_haveUser = false;
    QSet<QString> m_done;
    QStringList m_pendingUsers;  // the users of the batch's units, in order
    qint64 m_usersRewritten = 0;
};

}  // namespace

bool UserNodeRun::RunInMemory() {
    m_usersRewritten = 0;
    QString step;
    MemoryRun run(step);
    try {
        run.Open(m_settings.connectionText);
        run.ReadCatalog();
        run.OpenAssignmentsAndBatch();
        run.RewriteEveryUser();
        m_usersRewritten = run.UsersRewritten();
        m_unlistedUsers = run.CountUnlisted();
        run.Close();
        return true;
    } catch (const std::exception& failure) {
        // The users before the failing one keep their new rows.
        run.SendFinishedUsers();
        m_usersRewritten = run.UsersRewritten();
        Fail(step, failure);
        return false;
    }
}

}  // namespace usernodes
