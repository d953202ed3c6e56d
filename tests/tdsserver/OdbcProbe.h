#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

/**
 * A bare ODBC client for the server's own tests: connects through the driver manager with a connection string and
 * runs a statement, reading every result as text (or bytes for binary columns). Independent of the program's data
 * layer, so the server is checked against the driver alone.
 */
class OdbcProbe
{
public:
    struct Result
    {
        QStringList columns;
        QList<QVariantList> rows; ///< QString per value, QByteArray for binary columns, invalid QVariant for NULL
        qint64 rowCount = -1; ///< SQLRowCount after the last result
    };

    OdbcProbe();
    ~OdbcProbe();
    OdbcProbe(const OdbcProbe&) = delete;
    OdbcProbe& operator=(const OdbcProbe&) = delete;

    /** False with `error()` set when the driver refuses. */
    bool connect(const QString& connectionString, int loginTimeoutSeconds = 10);
    void disconnect();
    /** Runs a batch and reads every result set; false with `error()` at the first error. */
    bool execute(const QString& text, QList<Result>& results);
    /** SQLTables with no filters: the table list. */
    bool tables(Result& result);
    /** Starts a query, fetches `rows` rows, then cancels the statement (the driver sends ATTENTION). */
    bool fetchThenCancel(const QString& text, int rows);

    /** The first diagnostic of the last failure, with the driver's prefixes. */
    QString error() const { return m_error; }
    /** Informational diagnostics of the last call (SQL_SUCCESS_WITH_INFO). */
    QStringList infos() const { return m_infos; }

private:
    bool readResults(void* statement, short rc, QList<Result>& results);
    void collect(short handleType, void* handle, bool isError);

    void* m_env = nullptr;
    void* m_dbc = nullptr;
    bool m_connected = false;
    QString m_error;
    QStringList m_infos;
};
