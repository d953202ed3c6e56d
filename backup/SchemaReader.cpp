#include "SchemaReader.h"

#include "DataAccess.h"

#include <atomic>

using namespace Qt::Literals::StringLiterals;

/**
 * The second connection: once stopped, the statement it waits for is cancelled and no further one is sent, so its
 * thread ends after at most the statement that was starting when the stop came.
 */
class SchemaReader::SideConnection : public Connection
{
public:
    explicit SideConnection(std::unique_ptr<Connection> inner)
        : m_inner(std::move(inner))
    { }

    void stop() noexcept
    {
        m_stopped = true;
        m_inner->cancel();
    }

    void setCursorLocation(int location) override { m_inner->setCursorLocation(location); }
    void Open(const QString& connectionString) override
    {
        throwIfStopped();
        m_inner->Open(connectionString);
    }
    std::unique_ptr<RecordSet> Execute(const QString& commandText) override
    {
        throwIfStopped();
        return m_inner->Execute(commandText);
    }
    std::unique_ptr<RecordSet> OpenSchema(int schema) override
    {
        throwIfStopped();
        return m_inner->OpenSchema(schema);
    }
    void Close() override { m_inner->Close(); }
    QStringList infoMessages() const override { return m_inner->infoMessages(); }
    void cancel() noexcept override { stop(); }

private:
    void throwIfStopped() const
    {
        if (m_stopped)
            throw Interrupted();
    }

    std::unique_ptr<Connection> m_inner;
    std::atomic<bool> m_stopped{false};
};

SchemaReader::SchemaReader(ConnectionFactory& factory, const QString& connectionString, StopRequest* stop)
    : m_overview(m_overviewRead.get_future())
{
    try {
        m_side = std::make_unique<SideConnection>(factory.createConnection());
    } catch (const Failure&) {
        // The dump's own connection reads everything, as it would with one connection.
        m_sideRefused = true;
        m_overviewRead.set_value();
        return;
    }
    if (stop)
        m_cancel = stop->onStop([this] { m_side->stop(); });
    m_thread = std::thread([this, connectionString] { readOnSide(connectionString); });
}

SchemaReader::~SchemaReader()
{
    m_cancel.reset();
    stopSide();
    if (m_thread.joinable())
        m_thread.join();
}

void SchemaReader::stopSide() noexcept
{
    if (m_side)
        m_side->stop();
}

void SchemaReader::readOnSide(QString connectionString)
{
    SideConnection& connection = *m_side;
    bool open = false;
    SchemaModel::Overview overview;
    try {
        try {
            connection.setCursorLocation(adUseClient);
            connection.Open(connectionString);
            open = true;
        } catch (const Interrupted&) {
            throw;
        } catch (const Failure&) {
            // A server that refuses a second session (a database that admits one user at a time, a limit of
            // connections) leaves the reads to the dump's own connection: the backup is slower, not failed.
            m_sideRefused = true;
            m_overviewRead.set_value();
            return;
        }
        overview = SchemaModel::readOverview(connection, m_beforeData);
        m_overviewRead.set_value();
    } catch (...) {
        m_overviewRead.set_exception(std::current_exception());
        if (open) {
            try {
                m_side->Close();
            } catch (...) {
                // The failure that ended the reads is the one reported.
            }
        }
        return;
    }
    try {
        SchemaModel::readAfterData(connection, overview, m_afterData);
    } catch (...) {
        m_afterDataFailure = std::current_exception();
    }
    try {
        connection.Close();
    } catch (...) {
        // Everything was read; a failed close changes nothing of it.
    }
}

SchemaModel::Database SchemaReader::readBeforeData(Connection& connection)
{
    SchemaModel::Database db;
    SchemaModel::readTableDefinitions(connection, db);
    m_overview.get(); // the second connection's failure, if it had one
    if (m_sideRefused)
        m_ownOverview = SchemaModel::readOverview(connection, m_beforeData);
    SchemaModel::takeOverview(db, std::move(m_beforeData));
    return db;
}

void SchemaReader::readAfterData(Connection& connection, SchemaModel::Database& db)
{
    if (m_thread.joinable())
        m_thread.join();
    if (m_afterDataFailure)
        std::rethrow_exception(m_afterDataFailure);
    if (m_sideRefused)
        SchemaModel::readAfterData(connection, m_ownOverview, m_afterData);
    SchemaModel::takeAfterData(db, std::move(m_afterData));
}
