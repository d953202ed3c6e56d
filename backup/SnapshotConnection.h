#pragma once

#include "DataAccess.h"

#include <memory>

/**
 * The dump's connection: its reads form one snapshot where the database allows snapshot isolation, and read as they
 * always did where it does not.
 *
 * Whether a database allows it is told by the server itself, at the first read of a table inside a snapshot
 * transaction: error 3952 when it does not (setting the isolation level and the catalogue views never fail). Asking
 * sys.databases first would cost a catalogue read on every backup, and on some servers that read takes longer than
 * the rest of the catalogue. On 3952 the transaction is rolled back, the session goes back to READ COMMITTED and the
 * statement runs again, once; from then on every statement goes to the server as it is.
 */
class SnapshotConnection : public Connection
{
public:
    /** "Snapshot isolation transaction failed accessing database ... because snapshot isolation is not allowed". */
    static constexpr int SnapshotNotAllowed = 3952;

    explicit SnapshotConnection(std::unique_ptr<Connection> inner);

    /**
     * SET TRANSACTION ISOLATION LEVEL SNAPSHOT. False, without a report, on a server that has no snapshot isolation:
     * the dump then reads without a transaction.
     */
    bool requestSnapshot();
    /** BEGIN TRANSACTION after requestSnapshot; throws what the server says. */
    void beginTransaction();
    /** Whether the snapshot transaction is open: COMMIT ends it; after a fallback there is none. */
    bool inTransaction() const { return m_inTransaction; }

    void setCursorLocation(int location) override { m_inner->setCursorLocation(location); }
    void Open(const QString& connectionString) override { m_inner->Open(connectionString); }
    std::unique_ptr<RecordSet> Execute(const QString& commandText) override;
    std::unique_ptr<RecordSet> OpenSchema(int schema) override { return m_inner->OpenSchema(schema); }
    void Close() override { m_inner->Close(); }
    QStringList infoMessages() const override { return m_inner->infoMessages(); }
    void cancel() noexcept override { m_inner->cancel(); }

private:
    std::unique_ptr<Connection> m_inner;
    bool m_inTransaction = false;
};
