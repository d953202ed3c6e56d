#include "TdsServer.h"

#include "SqlShapes.h"
#include "TdsProtocol.h"

#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <future>
#include <random>
#include <stdexcept>

using namespace Qt::Literals::StringLiterals;

namespace tds {

struct TdsServer::State
{
    mutable QMutex mutex;
    QList<TableSpec> tables;
    QList<DatabaseFile> files;
    bool filesMissing = false;
    QString defaultDatabase = u"master"_s;
    bool snapshotIsolation = false;
    bool loginAccepted = true;
    QStringList knownDatabases; ///< empty: every database exists
    bool contextMessages = true;
    bool recordBatches = true;
    QList<qsizetype> batchBytes;
    QList<MessageRule> rules;
    Faults faults;

    QStringList batches;
    QStringList requests;
    QList<RpcRecord> rpcs;
    QList<LoginRecord> logins;
    int connections = 0;
    int attentions = 0;

    std::atomic<bool> stopping{false};
    std::atomic<quint16> port{0};
    QThread* acceptThread = nullptr; ///< touched only by the owner's thread
};

namespace {

constexpr int PollMs = 50;
constexpr qsizetype FlushBytes = 256 * 1024;
const QString ServerName = u"TESSTDS"_s;

// Thrown inside a session when the client is gone or the server stops.
struct ConnectionEnded
{ };

/** A result to stream: columns and a way to fetch row i. */
struct Relation
{
    QList<ColumnSpec> columns;
    QString tableName;
    qint64 rowCount = 0;
    std::function<void(qint64, Row&)> fetch;
    bool userTable = false;
    /** The rows keep their order whatever the ORDER BY: see informationSchemaTables(). */
    bool declaredOrder = false;
};

/** A server-side statement error: number, severity and text. */
struct SqlError
{
    int number;
    int severity;
    QString text;
};

ColumnSpec nameColumn(const QString& name, int length = 128)
{
    ColumnSpec c;
    c.name = name;
    c.type = SqlType::NVarChar;
    c.length = length;
    return c;
}

ColumnSpec intColumn(const QString& name, SqlType type = SqlType::Int)
{
    ColumnSpec c;
    c.name = name;
    c.type = type;
    return c;
}

Relation fromRows(QList<ColumnSpec> columns, const QList<Row>& rows)
{
    Relation r;
    r.columns = std::move(columns);
    r.rowCount = rows.size();
    r.fetch = [rows](qint64 i, Row& row) { row = rows.at(i); };
    return r;
}

bool likeMatch(const QString& value, const QString& pattern)
{
    QString expression;
    for (QChar c : pattern) {
        if (c == u'%')
            expression += u".*"_s;
        else if (c == u'_')
            expression += u'.';
        else
            expression += QRegularExpression::escape(QString(c));
    }
    const QRegularExpression re(QRegularExpression::anchoredPattern(expression),
                                QRegularExpression::CaseInsensitiveOption);
    return re.match(value).hasMatch();
}

bool looksLikeScript(const QString& text)
{
    if (text.contains(u'\n'))
        return true;
    const QString trimmed = text.trimmed();
    if (trimmed.startsWith(u"--"_s) || trimmed.startsWith(u"/*"_s))
        return true;
    static const QStringList starts = {u"CREATE"_s, u"DROP"_s, u"ALTER"_s,   u"INSERT"_s, u"UPDATE"_s,
                                       u"DELETE"_s, u"IF"_s,   u"DECLARE"_s, u"BEGIN"_s,  u"PRINT"_s};
    const QString first = trimmed.section(u' ', 0, 0).toUpper();
    return starts.contains(first);
}

class Session
{
public:
    Session(std::shared_ptr<TdsServer::State> state, qintptr descriptor, int number)
        : m_state(std::move(state))
        , m_descriptor(descriptor)
        , m_writer(4096, quint16(50 + number))
    { }

    void run()
    {
        QTcpSocket socket;
        if (!socket.setSocketDescriptor(m_descriptor))
            return;
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_socket = &socket;
        try {
            serve();
        } catch (const ConnectionEnded&) { }
        socket.abort();
        m_socket = nullptr;
    }

private:
    void serve()
    {
        for (;;) {
            quint8 type = 0;
            QByteArray payload;
            readMessage(type, payload);
            if (faults().stall)
                continue;
            switch (type) {
            case PacketPrelogin:
                answerPrelogin();
                break;
            case PacketLogin7:
                answerLogin(payload);
                break;
            case PacketSqlBatch:
                answerBatch(payload);
                break;
            case PacketRpc:
                answerRpc(payload);
                break;
            case PacketAttention:
                countAttention();
                m_writer.append(doneToken(TokenDone, DoneAttention, 0, 0));
                flush(true);
                break;
            default:
                throw ConnectionEnded();
            }
        }
    }

    Faults faults() const
    {
        QMutexLocker lock(&m_state->mutex);
        return m_state->faults;
    }

    void countAttention()
    {
        QMutexLocker lock(&m_state->mutex);
        ++m_state->attentions;
    }

    bool stopping() const { return m_state->stopping.load(); }

    void waitForInput()
    {
        if (stopping() || m_socket->state() != QAbstractSocket::ConnectedState)
            throw ConnectionEnded();
        if (m_socket->waitForReadyRead(PollMs))
            m_in += m_socket->readAll();
        else if (m_socket->state() != QAbstractSocket::ConnectedState)
            throw ConnectionEnded();
    }

    // Reads one whole message (packets up to the one marked last).
    void readMessage(quint8& type, QByteArray& payload)
    {
        payload.clear();
        for (;;) {
            while (m_in.size() < 8)
                waitForInput();
            const int length = (quint8(m_in[2]) << 8) | quint8(m_in[3]);
            if (length < 8)
                throw ConnectionEnded();
            while (m_in.size() < length)
                waitForInput();
            type = quint8(m_in[0]);
            const bool last = (quint8(m_in[1]) & 0x01) != 0;
            payload.append(m_in.constData() + 8, length - 8);
            m_in.remove(0, length);
            if (last)
                return;
        }
    }

    // Takes an ATTENTION that arrived while a reply is being sent; true when there was one.
    bool attentionArrived()
    {
        if (m_socket->bytesAvailable() > 0 || m_socket->waitForReadyRead(0))
            m_in += m_socket->readAll();
        if (m_in.size() >= 8 && quint8(m_in[0]) == PacketAttention) {
            const int length = (quint8(m_in[2]) << 8) | quint8(m_in[3]);
            if (m_in.size() >= length) {
                m_in.remove(0, length);
                countAttention();
                return true;
            }
        }
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            throw ConnectionEnded();
        return false;
    }

    // A statement held until the client cancels it: nothing more is sent until the attention, which the DONE with
    // its attention bit answers (`command`: the token's current command).
    void answerAttention(quint16 command)
    {
        while (!attentionArrived()) {
            if (stopping())
                throw ConnectionEnded();
            QThread::msleep(10);
        }
        m_writer.append(doneToken(TokenDone, DoneAttention, command, 0));
        flush(true);
    }

    // A server that hangs: reads and drops whatever arrives, answers nothing, until the client goes.
    [[noreturn]] void stallUntilHungUp()
    {
        for (;;) {
            waitForInput();
            m_in.clear();
        }
    }

    void writeOut(const QByteArray& data)
    {
        if (data.isEmpty())
            return;
        if (m_socket->write(data) != data.size())
            throw ConnectionEnded();
        while (m_socket->bytesToWrite() > 0) {
            if (stopping())
                throw ConnectionEnded();
            if (!m_socket->waitForBytesWritten(PollMs) && m_socket->state() != QAbstractSocket::ConnectedState)
                throw ConnectionEnded();
        }
    }

    void flush(bool endOfMessage) { writeOut(m_writer.take(endOfMessage)); }

    void message(bool error, int number, int severity, const QString& text, int line = 1)
    {
        m_writer.append(messageToken(error, number, 1, severity, text, ServerName, line));
    }

    void answerPrelogin()
    {
        // Options: VERSION, ENCRYPTION (not supported), INSTOPT, THREADID, MARS.
        const QByteArray data = QByteArray::fromHex("100000FA0000") + QByteArray::fromHex("02")
            + QByteArray::fromHex("00") + QByteArray() + QByteArray::fromHex("00");
        const int sizes[] = {6, 1, 1, 0, 1};
        QByteArray table;
        int offset = 5 * 5 + 1;
        for (int option = 0; option < 5; ++option) {
            putU8(table, quint8(option));
            table.append(char(offset >> 8)).append(char(offset & 0xFF));
            table.append(char(sizes[option] >> 8)).append(char(sizes[option] & 0xFF));
            offset += sizes[option];
        }
        putU8(table, 0xFF);
        m_writer.append(table + data);
        flush(true);
    }

    static QString utf16At(const QByteArray& payload, int offsetField, bool password = false)
    {
        if (payload.size() < offsetField + 4)
            return {};
        const auto* p = reinterpret_cast<const uchar*>(payload.constData());
        const int offset = p[offsetField] | (p[offsetField + 1] << 8);
        const int length = p[offsetField + 2] | (p[offsetField + 3] << 8);
        if (offset + 2 * length > payload.size())
            return {};
        QByteArray bytes = payload.mid(offset, 2 * length);
        if (password) {
            for (char& b : bytes) {
                const auto x = quint8(quint8(b) ^ 0xA5);
                b = char(quint8((x << 4) | (x >> 4)));
            }
        }
        return QString(reinterpret_cast<const QChar*>(bytes.constData()), length);
    }

    void answerLogin(const QByteArray& payload)
    {
        if (payload.size() < 94)
            throw ConnectionEnded();
        const auto* p = reinterpret_cast<const uchar*>(payload.constData());
        LoginRecord login;
        login.tdsVersion = quint32(p[4]) | quint32(p[5]) << 8 | quint32(p[6]) << 16 | quint32(p[7]) << 24;
        login.packetSize = quint32(p[8]) | quint32(p[9]) << 8 | quint32(p[10]) << 16 | quint32(p[11]) << 24;
        login.hostName = utf16At(payload, 36);
        login.userName = utf16At(payload, 40);
        login.password = utf16At(payload, 44, true);
        login.appName = utf16At(payload, 48);
        login.serverName = utf16At(payload, 52);
        login.database = utf16At(payload, 68);
        bool accepted = false;
        bool databaseKnown = true;
        {
            QMutexLocker lock(&m_state->mutex);
            m_state->logins.append(login);
            accepted = m_state->loginAccepted;
            if (login.database.isEmpty())
                login.database = m_state->defaultDatabase;
            databaseKnown = m_state->knownDatabases.isEmpty()
                || m_state->knownDatabases.contains(login.database, Qt::CaseInsensitive);
        }
        if (accepted && !databaseKnown) {
            // SQL Server's two messages for a login to a database that is not there.
            message(true, 4060, 11,
                    u"Cannot open database \"%1\" requested by the login. The login failed."_s.arg(login.database));
            message(true, 18456, 14, u"Login failed for user '%1'."_s.arg(login.userName));
            m_writer.append(doneToken(TokenDone, DoneError, 0, 0));
            flush(true);
            return;
        }
        if (!accepted) {
            message(true, 18456, 14, u"Login failed for user '%1'."_s.arg(login.userName));
            m_writer.append(doneToken(TokenDone, DoneError, 0, 0));
            flush(true);
            return;
        }
        const int packetSize = login.packetSize >= 512 && login.packetSize <= 32767 ? int(login.packetSize) : 4096;
        m_database = login.database;
        m_writer.append(envChangeText(1, m_database, u"master"_s));
        message(false, 5701, 0, u"Changed database context to '%1'."_s.arg(m_database));
        QByteArray collation;
        putU8(collation, quint8(Collation.size()));
        collation += Collation;
        m_writer.append(envChangeToken(7, collation, QByteArray(1, '\0')));
        m_writer.append(envChangeText(2, u"us_english"_s, QString()));
        message(false, 5703, 0, u"Changed language setting to us_english."_s);
        m_writer.append(loginAckToken());
        m_writer.append(envChangeText(4, QString::number(packetSize), QString::number(m_writer.packetSize())));
        m_writer.append(doneToken(TokenDone, DoneFinal, 0, 0));
        flush(true);
        m_writer.setPacketSize(packetSize);
    }

    // The offset after ALL_HEADERS (TDS 7.2 and later put them before a batch's text and an RPC's name).
    static qsizetype skipHeaders(const QByteArray& payload)
    {
        if (payload.size() >= 4) {
            const auto* p = reinterpret_cast<const uchar*>(payload.constData());
            const quint32 headers = p[0] | p[1] << 8 | p[2] << 16 | quint32(p[3]) << 24;
            if (headers >= 4 && headers <= quint32(payload.size()))
                return qsizetype(headers);
        }
        return 0;
    }

    void answerBatch(const QByteArray& payload)
    {
        qsizetype at = skipHeaders(payload);
        const QString text(reinterpret_cast<const QChar*>(payload.constData() + at), (payload.size() - at) / 2);
        QList<MessageRule> rules;
        {
            QMutexLocker lock(&m_state->mutex);
            if (m_state->recordBatches) {
                m_state->batches.append(text);
                m_state->requests.append(u"batch: "_s + text);
            }
            m_state->batchBytes.append(payload.size() - at);
            rules = m_state->rules;
        }
        m_attended = false;
        for (const MessageRule& rule : rules)
            if (rule.delayMs > 0 && text.contains(rule.needle))
                QThread::msleep(rule.delayMs);
        if (const QString held = faults().holdBatchContaining; !held.isEmpty() && text.contains(held)) {
            answerAttention(0);
            return;
        }
        QList<sql::Statement> statements;
        QString near;
        if (sql::parseBatch(text, statements, near)) {
            for (const MessageRule& rule : rules) {
                if (rule.text.isEmpty() || !text.contains(rule.needle))
                    continue;
                const bool error = rule.severity > 10;
                message(error, rule.number, rule.severity, rule.text);
                if (error) {
                    m_writer.append(doneToken(TokenDone, DoneError, 0, 0));
                    flush(true);
                    return;
                }
            }
            runStatements(statements);
        } else if (looksLikeScript(text)) {
            runScript(text, rules);
        } else {
            if (near.isEmpty())
                near = text.trimmed().section(u' ', 0, 0);
            message(true, 102, 15, u"Incorrect syntax near '%1'."_s.arg(near));
            m_writer.append(doneToken(TokenDone, DoneError, 0, 0));
        }
        if (!m_attended)
            flush(true);
    }

    void runStatements(const QList<sql::Statement>& statements, bool inProcedure = false)
    {
        for (qsizetype i = 0; i < statements.size(); ++i) {
            const bool last = i + 1 == statements.size() && !inProcedure;
            const quint16 more = last ? DoneFinal : DoneMore;
            const sql::Statement& s = statements[i];
            try {
                switch (s.kind) {
                case sql::Statement::Kind::Select:
                    if (!runSelect(s, more))
                        return;
                    break;
                case sql::Statement::Kind::Set:
                    if (s.setWords.mid(0, 3) == QStringList{u"TRANSACTION"_s, u"ISOLATION"_s, u"LEVEL"_s})
                        m_snapshotLevel = s.setWords.mid(3) == QStringList{u"SNAPSHOT"_s};
                    m_writer.append(doneToken(m_statementDone, more, 0xBE, 0));
                    break;
                case sql::Statement::Kind::Use:
                    changeDatabase(s.database, 1);
                    m_writer.append(doneToken(m_statementDone, more, 0, 0));
                    break;
                case sql::Statement::Kind::Transaction:
                    runTransaction(s.transaction);
                    m_writer.append(doneToken(m_statementDone, more, 0, 0));
                    break;
                case sql::Statement::Kind::Exec:
                    runProcedure(s.procedure, s.parameters, false);
                    m_writer.append(doneToken(m_statementDone, more, 0xE0, 0));
                    break;
                }
            } catch (const SqlError& e) {
                if (inProcedure)
                    throw;
                message(true, e.number, e.severity, e.text);
                m_writer.append(doneToken(m_statementDone, DoneError, 0, 0));
                return;
            }
        }
    }

    // BEGIN, COMMIT and ROLLBACK: the transaction count and the ENVCHANGE of a transaction's start and end.
    void runTransaction(const QString& verb)
    {
        QByteArray descriptor;
        putU8(descriptor, 8);
        for (int i = 0; i < 8; ++i)
            putU8(descriptor, quint8(i == 0 ? m_transactionId : 0));
        const QByteArray none(1, '\0');
        if (verb == u"BEGIN"_s) {
            if (m_transactionDepth++ == 0)
                m_writer.append(envChangeToken(8, descriptor, none));
            return;
        }
        if (m_transactionDepth == 0)
            throw SqlError{3902, 16,
                           verb == u"COMMIT"_s
                               ? u"The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION."_s
                               : u"The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION."_s};
        if (verb == u"ROLLBACK"_s || --m_transactionDepth == 0) {
            m_transactionDepth = 0;
            m_writer.append(envChangeToken(verb == u"COMMIT"_s ? 9 : 10, none, descriptor));
            ++m_transactionId;
        }
    }

    void changeDatabase(const QString& name, int line)
    {
        m_writer.append(envChangeText(1, name, m_database));
        message(false, 5701, 0, u"Changed database context to '%1'."_s.arg(name), line);
        m_database = name;
    }

    void runScript(const QString& text, const QList<MessageRule>& rules)
    {
        bool contextMessages = true;
        {
            QMutexLocker lock(&m_state->mutex);
            contextMessages = m_state->contextMessages;
        }
        static const QRegularExpression use(u"^\\s*USE\\s+\\[?([^\\]]*)\\]?\\s*;?\\s*$"_s,
                                            QRegularExpression::CaseInsensitiveOption);
        static const QRegularExpression create(u"^\\s*CREATE\\s+DATABASE\\s+\\[?([^\\]\\s]*)"_s,
                                               QRegularExpression::CaseInsensitiveOption);
        bool failed = false;
        const QStringList lines = text.split(u'\n');
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QString& line = lines[i];
            const int lineNumber = int(i + 1);
            if (line.contains(u"DATABASE"_s, Qt::CaseInsensitive)) {
                const QRegularExpressionMatch m = create.match(line);
                if (m.hasMatch()) {
                    QMutexLocker lock(&m_state->mutex);
                    if (!m_state->knownDatabases.isEmpty()
                        && !m_state->knownDatabases.contains(m.captured(1), Qt::CaseInsensitive))
                        m_state->knownDatabases.append(m.captured(1));
                }
            }
            if (contextMessages) {
                const QRegularExpressionMatch m = use.match(line);
                if (m.hasMatch())
                    changeDatabase(m.captured(1), lineNumber);
            }
            for (const MessageRule& rule : rules) {
                if (rule.text.isEmpty() || !line.contains(rule.needle))
                    continue;
                const bool error = rule.severity > 10;
                message(error, rule.number, rule.severity, rule.text, lineNumber);
                if (error) {
                    failed = true;
                    m_writer.append(doneToken(TokenDone, DoneMore | DoneError, 0, 0));
                }
            }
            if (line.trimmed().startsWith(u"INSERT"_s, Qt::CaseInsensitive))
                m_writer.append(doneToken(TokenDone, DoneMore | DoneCount, 0xC3, 1));
            if (m_writer.pendingBytes() >= FlushBytes)
                flush(false);
        }
        m_writer.append(doneToken(TokenDone, failed ? DoneError : DoneFinal, 0, 0));
    }

    QList<TableSpec> tables() const
    {
        QMutexLocker lock(&m_state->mutex);
        return m_state->tables;
    }

    Relation informationSchemaColumns() const
    {
        QList<ColumnSpec> columns = {nameColumn(u"TABLE_CATALOG"_s),
                                     nameColumn(u"TABLE_SCHEMA"_s),
                                     nameColumn(u"TABLE_NAME"_s),
                                     nameColumn(u"COLUMN_NAME"_s),
                                     intColumn(u"ORDINAL_POSITION"_s),
                                     nameColumn(u"IS_NULLABLE"_s, 3),
                                     nameColumn(u"DATA_TYPE"_s),
                                     intColumn(u"CHARACTER_MAXIMUM_LENGTH"_s),
                                     intColumn(u"NUMERIC_PRECISION"_s, SqlType::TinyInt),
                                     intColumn(u"NUMERIC_SCALE"_s),
                                     intColumn(u"DATETIME_PRECISION"_s, SqlType::SmallInt),
                                     nameColumn(u"COLLATION_NAME"_s),
                                     nameColumn(u"COLUMN_DEFAULT"_s, 4000)};
        QList<Row> rows;
        for (const TableSpec& table : tables()) {
            if (table.type == u"SYSTEM TABLE"_s)
                continue;
            int ordinal = 0;
            for (const ColumnSpec& c : table.columns) {
                const QString name = c.catalogueName.isEmpty() ? c.name : c.catalogueName;
                rows.append({m_database, table.schema, table.name, name, ++ordinal, c.nullable ? u"YES"_s : u"NO"_s,
                             dataTypeName(c.type), characterMaximumLength(c), numericPrecision(c), numericScale(c),
                             datetimePrecision(c), collationName(c), QVariant()});
            }
        }
        return fromRows(columns, rows);
    }

    // The table list. Its rows come in the order the tables were declared, as sp_tables gives them here: a test's
    // declaration order stands for the order a real server sorts the list in, so the ORDER BY of the dump's query is
    // taken as already met.
    Relation informationSchemaTables() const
    {
        ColumnSpec type = nameColumn(u"TABLE_TYPE"_s, 10);
        type.type = SqlType::VarChar;
        QList<Row> rows;
        for (const TableSpec& table : tables()) {
            if (table.type == u"SYSTEM TABLE"_s)
                continue; // information_schema lists no system tables
            rows.append(
                {m_database, table.schema, table.name, table.type == u"TABLE"_s ? u"BASE TABLE"_s : table.type});
        }
        Relation r = fromRows(
            {nameColumn(u"TABLE_CATALOG"_s), nameColumn(u"TABLE_SCHEMA"_s), nameColumn(u"TABLE_NAME"_s), type}, rows);
        r.declaredOrder = true;
        return r;
    }

    // sysfiles, the file list of old servers: status 0x40 marks the log file.
    Relation sysFiles() const
    {
        QList<DatabaseFile> files;
        {
            QMutexLocker lock(&m_state->mutex);
            files = m_state->files;
        }
        QList<Row> rows;
        int id = 0;
        for (const DatabaseFile& f : files)
            rows.append({++id, f.type == 1 ? 0x42 : 0x02, f.physicalName});
        ColumnSpec filename = nameColumn(u"filename"_s, 260);
        filename.type = SqlType::NChar;
        return fromRows({intColumn(u"fileid"_s, SqlType::SmallInt), intColumn(u"status"_s), filename}, rows);
    }

    // sys.databases: the system databases and the session's own.
    Relation databases() const
    {
        bool snapshot = false;
        {
            QMutexLocker lock(&m_state->mutex);
            snapshot = m_state->snapshotIsolation;
        }
        QList<Row> rows = {{u"master"_s, 1, 1, false},
                           {u"tempdb"_s, 2, 0, false},
                           {u"model"_s, 3, 0, false},
                           {u"msdb"_s, 4, 1, false}};
        bool listed = false;
        for (const Row& row : rows)
            listed = listed || row[0].toString().compare(m_database, Qt::CaseInsensitive) == 0;
        if (!listed)
            rows.append({m_database, 5, snapshot ? 1 : 0, false});
        return fromRows({nameColumn(u"name"_s), intColumn(u"database_id"_s),
                         intColumn(u"snapshot_isolation_state"_s, SqlType::TinyInt),
                         intColumn(u"is_read_committed_snapshot_on"_s, SqlType::Bit)},
                        rows);
    }

    Relation databaseFiles() const
    {
        QList<DatabaseFile> files;
        {
            QMutexLocker lock(&m_state->mutex);
            if (m_state->filesMissing)
                throw SqlError{208, 16, u"Invalid object name 'sys.database_files'."_s};
            files = m_state->files;
        }
        QList<Row> rows;
        int id = 0;
        for (const DatabaseFile& f : files) {
            ++id;
            rows.append({id, f.type, f.type == 1 ? u"LOG"_s : u"ROWS"_s,
                         u"%1_%2"_s.arg(m_database, f.type == 1 ? u"log"_s : u"data"_s), f.physicalName});
        }
        return fromRows({intColumn(u"file_id"_s), intColumn(u"type"_s, SqlType::TinyInt),
                         nameColumn(u"type_desc"_s, 60), nameColumn(u"name"_s), nameColumn(u"physical_name"_s, 260)},
                        rows);
    }

    // master.dbo.sysdatabases: the known databases, or master and the session's when every database exists.
    Relation sysDatabases() const
    {
        QStringList names;
        {
            QMutexLocker lock(&m_state->mutex);
            names = m_state->knownDatabases;
        }
        if (names.isEmpty())
            names = {u"master"_s, m_database};
        QList<Row> rows;
        for (qsizetype i = 0; i < names.size(); ++i)
            rows.append({names[i], int(i + 1)});
        return fromRows({nameColumn(u"name"_s), intColumn(u"dbid"_s, SqlType::SmallInt)}, rows);
    }

    Relation resolve(const sql::Statement& s) const
    {
        QStringList parts;
        for (const QString& part : s.object)
            parts.append(part.toLower());
        const QString name = parts.last();
        if (parts.size() >= 2 && parts[parts.size() - 2] == u"information_schema"_s && name == u"columns"_s)
            return informationSchemaColumns();
        if (parts.size() >= 2 && parts[parts.size() - 2] == u"information_schema"_s && name == u"tables"_s)
            return informationSchemaTables();
        if (parts.size() >= 2 && parts[parts.size() - 2] == u"sys"_s && name == u"database_files"_s)
            return databaseFiles();
        if (parts.size() >= 2 && parts[parts.size() - 2] == u"sys"_s && name == u"databases"_s)
            return databases();
        if (name == u"sysfiles"_s && (parts.size() == 1 || parts[parts.size() - 2] == u"dbo"_s))
            return sysFiles();
        if (name == u"sysdatabases"_s && (parts.size() == 1 || parts[parts.size() - 2] == u"dbo"_s))
            return sysDatabases();
        {
            const QString schema = parts.size() >= 2 ? s.object[parts.size() - 2] : u"dbo"_s;
            for (const TableSpec& table : tables()) {
                if (table.name.compare(s.object.last(), Qt::CaseInsensitive) != 0
                    || table.schema.compare(schema, Qt::CaseInsensitive) != 0)
                    continue;
                Relation r;
                r.columns = table.columns;
                r.tableName = table.name;
                r.userTable = true;
                if (table.generator) {
                    r.rowCount = table.generatedRows;
                    const qsizetype width = table.columns.size();
                    r.fetch = [generator = table.generator, width](qint64 i, Row& row) {
                        if (row.size() != width)
                            row.resize(width);
                        generator(i, row);
                    };
                } else {
                    r.rowCount = table.rows.size();
                    r.fetch = [rows = table.rows](qint64 i, Row& row) { row = rows.at(i); };
                }
                return r;
            }
        }
        throw SqlError{208, 16, u"Invalid object name '%1'."_s.arg(s.objectText)};
    }

    static int columnIndex(const Relation& r, const QString& name)
    {
        for (qsizetype i = 0; i < r.columns.size(); ++i) {
            if (r.columns[i].name.compare(name, Qt::CaseInsensitive) == 0)
                return int(i);
        }
        throw SqlError{207, 16, u"Invalid column name '%1'."_s.arg(name)};
    }

    static bool sameValue(const QVariant& a, const QVariant& b)
    {
        if (!a.isValid() || !b.isValid())
            return false;
        return a.toString().compare(b.toString(), Qt::CaseInsensitive) == 0;
    }

    Relation constants(const sql::Statement& s) const
    {
        QList<ColumnSpec> columns;
        Row row;
        for (const sql::SelectItem& item : s.items) {
            ColumnSpec c = nameColumn(item.alias, 4000);
            QVariant value;
            switch (item.kind) {
            case sql::SelectItem::Kind::Constant:
                value = item.constant;
                if (value.typeId() == QMetaType::LongLong) {
                    c.type = SqlType::Int;
                } else if (value.typeId() == QMetaType::Double) {
                    c.type = SqlType::Float;
                } else {
                    c.type = item.national ? SqlType::NVarChar : SqlType::VarChar;
                    c.length = qMax<int>(1, int(value.toString().size()));
                }
                break;
            case sql::SelectItem::Kind::Variable:
                if (item.name == u"@@VERSION"_s) {
                    value = u"Microsoft SQL Server 2022 (RTM) - 16.0.4000.0 (X64) (test server)"_s;
                } else if (item.name == u"@@SPID"_s) {
                    c.type = SqlType::SmallInt;
                    value = 51;
                } else {
                    throw SqlError{137, 15, u"Must declare the scalar variable \"%1\"."_s.arg(item.name)};
                }
                break;
            case sql::SelectItem::Kind::Function:
                if (item.name == u"SERVERPROPERTY"_s) {
                    const QString property = item.arguments.value(0).toString().toLower();
                    value = property == u"productversion"_s ? QVariant(u"16.0.4000.0"_s)
                        : property == u"edition"_s          ? QVariant(u"Developer Edition (64-bit)"_s)
                                                            : QVariant();
                } else if (item.name == u"DB_NAME"_s) {
                    value = m_database;
                } else {
                    throw SqlError{195, 15, u"'%1' is not a recognized built-in function name."_s.arg(item.name)};
                }
                break;
            default:
                throw SqlError{263, 16, u"Must specify table to select from."_s};
            }
            columns.append(c);
            row.append(value);
        }
        return fromRows(columns, {row});
    }

    bool runSelect(const sql::Statement& s, quint16 more)
    {
        Relation source = s.object.isEmpty() ? constants(s) : resolve(s);
        // As SQL Server does: the isolation level and the catalogue are never refused; the first read of a table in a
        // snapshot transaction is, where the database does not allow snapshot isolation. The transaction stays
        // open until the client rolls it back.
        if (source.userTable && m_snapshotLevel && m_transactionDepth > 0) {
            QMutexLocker lock(&m_state->mutex);
            if (!m_state->snapshotIsolation)
                throw SqlError{3952, 16,
                               u"Snapshot isolation transaction failed accessing database '%1' because snapshot "
                               u"isolation is not allowed in this database. Use ALTER DATABASE to allow snapshot "
                               u"isolation."_s.arg(m_database)};
        }
        std::vector<int> projection;
        QList<ColumnSpec> columns;
        if (s.object.isEmpty()) {
            columns = source.columns;
            for (qsizetype i = 0; i < columns.size(); ++i)
                projection.push_back(int(i));
        } else {
            for (const sql::SelectItem& item : s.items) {
                if (item.kind == sql::SelectItem::Kind::Star) {
                    for (qsizetype i = 0; i < source.columns.size(); ++i) {
                        projection.push_back(int(i));
                        columns.append(source.columns[i]);
                    }
                } else if (item.kind == sql::SelectItem::Kind::Column) {
                    const int index = columnIndex(source, item.name);
                    projection.push_back(index);
                    ColumnSpec c = source.columns[index];
                    if (!item.alias.isEmpty())
                        c.name = item.alias;
                    columns.append(c);
                } else {
                    throw SqlError{102, 15, u"Incorrect syntax near 'FROM'."_s};
                }
            }
        }
        std::vector<std::pair<int, QVariant>> filters;
        for (const sql::Condition& c : s.where)
            filters.emplace_back(columnIndex(source, c.column), c.value);
        if (!source.userTable && !source.declaredOrder && !s.object.isEmpty())
            arrange(source, s.orderBy, faults().shuffleCatalogue);

        const Faults fault = source.userTable ? faults() : Faults{};
        m_writer.append(colMetadataToken(columns, source.tableName));
        Row row;
        Row projected(qsizetype(projection.size()));
        QByteArray encoded;
        qint64 sent = 0;
        bool identity = projection.size() == size_t(source.columns.size());
        for (size_t i = 0; identity && i < projection.size(); ++i)
            identity = projection[i] == int(i);
        for (qint64 i = 0; i < source.rowCount; ++i) {
            source.fetch(i, row);
            bool keep = true;
            for (const auto& [index, value] : filters)
                keep = keep && sameValue(row.value(index), value);
            if (!keep)
                continue;
            if (fault.closeAfterRows >= 0 && sent >= fault.closeAfterRows) {
                flush(false);
                throw ConnectionEnded();
            }
            if (fault.stallAfterRows >= 0 && sent >= fault.stallAfterRows) {
                writeOut(m_writer.takePartial()); // the rows so far reach the client, then silence
                stallUntilHungUp();
            }
            if (fault.holdAfterRows >= 0 && sent >= fault.holdAfterRows) {
                writeOut(m_writer.takePartial()); // the rows so far reach the client, then nothing until cancelled
                answerAttention(0xC1);
                m_attended = true;
                return false;
            }
            if (fault.rowDelayMs > 0) {
                writeOut(m_writer.takePartial()); // what is ready reaches the client before the pause
                for (int waited = 0; waited < fault.rowDelayMs; waited += 10) {
                    if (stopping())
                        throw ConnectionEnded();
                    QThread::msleep(10);
                }
            }
            encoded.resize(0);
            try {
                if (identity) {
                    encodeRow(encoded, columns, row);
                } else {
                    for (size_t k = 0; k < projection.size(); ++k)
                        projected[qsizetype(k)] = row.value(projection[k]);
                    encodeRow(encoded, columns, projected);
                }
            } catch (const std::invalid_argument& e) {
                throw SqlError{245, 16, QString::fromUtf8(e.what())};
            }
            m_writer.append(encoded);
            ++sent;
            if ((fault.rowDelayMs > 0 || (sent & 255) == 0) && attentionArrived()) {
                m_writer.append(doneToken(TokenDone, DoneAttention, 0xC1, 0));
                flush(true);
                m_attended = true;
                return false;
            }
            if (m_writer.pendingBytes() >= FlushBytes)
                flush(false);
        }
        m_writer.append(doneToken(m_statementDone, quint16(more | DoneCount), 0xC1, quint64(sent)));
        return true;
    }

    /** Shuffles the rows of a catalogue view when asked, then sorts them by the ORDER BY columns (stable). */
    static void arrange(Relation& source, const QStringList& orderBy, bool shuffle)
    {
        if (orderBy.isEmpty() && !shuffle)
            return;
        std::vector<int> keys;
        for (const QString& column : orderBy)
            keys.push_back(columnIndex(source, column));
        QList<Row> rows;
        for (qint64 i = 0; i < source.rowCount; ++i) {
            Row row;
            source.fetch(i, row);
            rows.append(row);
        }
        if (shuffle) {
            std::mt19937 random(20240611);
            std::shuffle(rows.begin(), rows.end(), random);
        }
        const auto less = [&keys](const Row& a, const Row& b) {
            for (const int k : keys) {
                const QVariant& x = a.at(k);
                const QVariant& y = b.at(k);
                if (x.isValid() != y.isValid())
                    return !x.isValid(); // NULL sorts first
                int order = 0;
                if (x.typeId() == QMetaType::Int || x.typeId() == QMetaType::LongLong)
                    order = x.toLongLong() < y.toLongLong() ? -1 : x.toLongLong() > y.toLongLong() ? 1 : 0;
                else
                    order = x.toString().compare(y.toString(), Qt::CaseInsensitive);
                if (order != 0)
                    return order < 0;
            }
            return false;
        };
        std::stable_sort(rows.begin(), rows.end(), less);
        source.rowCount = rows.size();
        source.fetch = [rows](qint64 i, Row& row) { row = rows.at(i); };
    }

    // sp_tables: the table list. Parameters by name or position: table_name, table_owner, table_qualifier, table_type.
    void runProcedure(const QString& procedure, const QList<QPair<QString, QVariant>>& parameters, bool rpc)
    {
        if (procedure.compare(u"sp_tables"_s, Qt::CaseInsensitive) != 0)
            throw SqlError{2812, 16, u"Could not find stored procedure '%1'."_s.arg(procedure)};
        static const QStringList names = {u"@table_name"_s, u"@table_owner"_s, u"@table_qualifier"_s, u"@table_type"_s};
        QVariant values[4];
        for (qsizetype i = 0; i < parameters.size(); ++i) {
            const qsizetype index = parameters[i].first.isEmpty() ? i : names.indexOf(parameters[i].first.toLower());
            if (index >= 0 && index < 4)
                values[index] = parameters[i].second;
        }
        QStringList types;
        if (values[3].isValid() && !values[3].toString().isEmpty()) {
            for (QString t : values[3].toString().split(u','))
                types.append(t.remove(u'\'').trimmed().toUpper());
        }
        const QString namePattern = values[0].isValid() ? values[0].toString() : QString();
        QList<Row> rows;
        for (const TableSpec& table : tables()) {
            if (!types.isEmpty() && !types.contains(table.type.toUpper()))
                continue;
            if (!namePattern.isEmpty() && !likeMatch(table.name, namePattern))
                continue;
            const QString owner = table.type == u"SYSTEM TABLE"_s ? u"sys"_s : table.schema;
            rows.append({m_database, owner, table.name, table.type, QVariant()});
        }
        ColumnSpec typeColumn = nameColumn(u"TABLE_TYPE"_s, 32);
        typeColumn.type = SqlType::VarChar;
        ColumnSpec remarks = nameColumn(u"REMARKS"_s, 254);
        remarks.type = SqlType::VarChar;
        const QList<ColumnSpec> columns = {nameColumn(u"TABLE_QUALIFIER"_s), nameColumn(u"TABLE_OWNER"_s),
                                           nameColumn(u"TABLE_NAME"_s), typeColumn, remarks};
        m_writer.append(colMetadataToken(columns, QString()));
        QByteArray encoded;
        for (const Row& row : rows) {
            encoded.resize(0);
            encodeRow(encoded, columns, row);
            m_writer.append(encoded);
        }
        m_writer.append(doneToken(TokenDoneInProc, DoneMore | DoneCount, 0xC1, quint64(rows.size())));
        m_writer.append(returnStatusToken(0));
        m_writer.append(doneToken(TokenDoneProc, rpc ? DoneFinal : DoneMore, 0xE0, 0));
    }

    // Reads one RPC parameter value of the types FreeTDS sends; false when the type is unknown.
    static bool readParameter(const QByteArray& p, qsizetype& at, QVariant& value)
    {
        auto need = [&](qsizetype n) { return at + n <= p.size(); };
        auto uint = [&](int bytes) {
            quint64 v = 0;
            for (int i = 0; i < bytes; ++i)
                v |= quint64(quint8(p[at + i])) << (8 * i);
            at += bytes;
            return v;
        };
        auto text = [&](qsizetype length, bool unicode) {
            value = unicode ? QString(reinterpret_cast<const QChar*>(p.constData() + at), length / 2)
                            : fromCp1252(p.mid(at, length));
            at += length;
        };
        if (!need(1))
            return false;
        const quint8 type = quint8(uint(1));
        switch (type) {
        case 0xE7: // nvarchar, varchar, nchar, char
        case 0xA7:
        case 0xEF:
        case 0xAF: {
            if (!need(9))
                return false;
            const auto maxLength = quint16(uint(2));
            at += 5; // collation
            const bool unicode = type == 0xE7 || type == 0xEF;
            if (maxLength == 0xFFFF) { // (max): chunks
                if (!need(8))
                    return false;
                const quint64 total = uint(8);
                if (total == ~quint64(0)) {
                    value = QVariant();
                    return true;
                }
                QByteArray bytes;
                for (;;) {
                    if (!need(4))
                        return false;
                    const auto chunk = qsizetype(uint(4));
                    if (chunk == 0)
                        break;
                    if (!need(chunk))
                        return false;
                    bytes.append(p.constData() + at, chunk);
                    at += chunk;
                }
                value = unicode ? QString(reinterpret_cast<const QChar*>(bytes.constData()), bytes.size() / 2)
                                : fromCp1252(bytes);
                return true;
            }
            const auto length = qsizetype(uint(2));
            if (length == 0xFFFF) {
                value = QVariant();
                return true;
            }
            if (!need(length))
                return false;
            text(length, unicode);
            return true;
        }
        case 0x63: // ntext, text
        case 0x23: {
            if (!need(13))
                return false;
            at += 4 + 5; // maximum length, collation
            const auto length = quint32(uint(4));
            if (length == 0xFFFFFFFF) {
                value = QVariant();
                return true;
            }
            if (!need(length))
                return false;
            text(length, type == 0x63);
            return true;
        }
        case 0x26: { // intn
            if (!need(2))
                return false;
            at += 1;
            const int length = int(uint(1));
            if (!need(length))
                return false;
            qint64 v = qint64(uint(length));
            if (length > 0 && length < 8 && (v >> (8 * length - 1)) & 1)
                v -= qint64(1) << (8 * length);
            value = length == 0 ? QVariant() : QVariant(v);
            return true;
        }
        default:
            return false;
        }
    }

    QByteArray returnValueToken(int handle)
    {
        QByteArray out;
        putU8(out, 0xAC);
        putU16(out, 0);
        putBVarChar(out, QString());
        putU8(out, 0x01); // output parameter
        putU32(out, 0);
        putU16(out, 0x0001);
        putU8(out, 0x26);
        putU8(out, 4);
        putU8(out, 4);
        putU32(out, quint32(handle));
        return out;
    }

    // Runs statement text inside a procedure call: results end with DONEINPROC.
    void runInProcedure(const QString& text)
    {
        QList<sql::Statement> statements;
        QString near;
        if (!sql::parseBatch(text, statements, near))
            throw SqlError{102, 15, u"Incorrect syntax near '%1'."_s.arg(near)};
        m_statementDone = TokenDoneInProc;
        runStatements(statements, true);
        m_statementDone = TokenDone;
    }

    void answerRpc(const QByteArray& payload)
    {
        qsizetype at = skipHeaders(payload);
        RpcRecord record;
        auto u16 = [&] {
            const quint16 v = quint8(payload[at]) | quint8(payload[at + 1]) << 8;
            at += 2;
            return v;
        };
        QList<QPair<QString, QVariant>> parameters;
        if (at + 2 <= payload.size()) {
            const quint16 nameLength = u16();
            if (nameLength == 0xFFFF) {
                static const QHash<int, QString> known = {{10, u"sp_executesql"_s},
                                                          {11, u"sp_prepare"_s},
                                                          {12, u"sp_execute"_s},
                                                          {13, u"sp_prepexec"_s},
                                                          {15, u"sp_unprepare"_s}};
                const int id = u16();
                record.procedure = known.value(id, u"#%1"_s.arg(id));
            } else {
                record.procedure = QString(reinterpret_cast<const QChar*>(payload.constData() + at), nameLength);
                at += 2 * nameLength;
            }
            at += 2; // option flags
            while (at < payload.size()) {
                const int length = quint8(payload[at++]);
                const QString name(reinterpret_cast<const QChar*>(payload.constData() + at), length);
                at += 2 * length + 1; // name, status flags
                QVariant value;
                if (!readParameter(payload, at, value))
                    break;
                parameters.append({name, value});
                record.parameters.append(u"%1=%2"_s.arg(name, value.isValid() ? value.toString() : u"NULL"_s));
            }
        }
        {
            QMutexLocker lock(&m_state->mutex);
            m_state->rpcs.append(record);
            m_state->requests.append(u"rpc: "_s + record.procedure);
        }
        m_attended = false;
        const QString procedure = record.procedure.toLower();
        auto parameter = [&](qsizetype i) { return parameters.value(i).second; };
        try {
            if (procedure == u"sp_prepexec"_s || procedure == u"sp_prepare"_s) {
                const int handle = m_nextHandle++;
                m_prepared.insert(handle, parameter(2).toString());
                if (procedure == u"sp_prepexec"_s)
                    runInProcedure(parameter(2).toString());
                if (m_attended)
                    return;
                m_writer.append(returnStatusToken(0));
                m_writer.append(returnValueToken(handle));
            } else if (procedure == u"sp_execute"_s) {
                const int handle = parameter(0).toInt();
                if (!m_prepared.contains(handle))
                    throw SqlError{8179, 16, u"Could not find prepared statement with handle %1."_s.arg(handle)};
                runInProcedure(m_prepared.value(handle));
                if (m_attended)
                    return;
                m_writer.append(returnStatusToken(0));
            } else if (procedure == u"sp_executesql"_s) {
                runInProcedure(parameter(0).toString());
                if (m_attended)
                    return;
                m_writer.append(returnStatusToken(0));
            } else if (procedure == u"sp_unprepare"_s) {
                m_prepared.remove(parameter(0).toInt());
                m_writer.append(returnStatusToken(0));
            } else {
                runProcedure(record.procedure, parameters, true);
                flush(true);
                return;
            }
            m_writer.append(doneToken(TokenDoneProc, DoneFinal, 0, 0));
        } catch (const SqlError& e) {
            m_statementDone = TokenDone;
            message(true, e.number, e.severity, e.text);
            m_writer.append(doneToken(TokenDoneProc, DoneError, 0, 0));
        }
        flush(true);
    }

    std::shared_ptr<TdsServer::State> m_state;
    qintptr m_descriptor;
    QTcpSocket* m_socket = nullptr;
    PacketWriter m_writer;
    QByteArray m_in;
    QString m_database;
    quint8 m_statementDone = TokenDone; ///< DONEINPROC while statements run inside a procedure call
    bool m_attended = false; ///< the current reply was ended by an ATTENTION
    QHash<int, QString> m_prepared; ///< prepared statement handles and their text
    int m_nextHandle = 1;
    int m_transactionDepth = 0; ///< @@TRANCOUNT
    bool m_snapshotLevel = false; ///< SET TRANSACTION ISOLATION LEVEL SNAPSHOT is in force
    int m_transactionId = 1;
};

} // namespace

/** The listening socket in its own thread; each accepted connection gets a thread of its own. */
class TdsServer::Acceptor : public QTcpServer
{
public:
    explicit Acceptor(std::shared_ptr<State> state)
        : m_state(std::move(state))
    { }

    ~Acceptor() override { joinSessions(); }

    void joinSessions()
    {
        for (QThread* thread : m_sessions) {
            thread->wait();
            delete thread;
        }
        m_sessions.clear();
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        int number = 0;
        {
            QMutexLocker lock(&m_state->mutex);
            number = ++m_state->connections;
        }
        auto state = m_state;
        QThread* thread = QThread::create([state, descriptor, number] {
            Session session(state, descriptor, number);
            session.run();
        });
        thread->start();
        m_sessions.append(thread);
    }

private:
    std::shared_ptr<State> m_state;
    QList<QThread*> m_sessions;
};

TdsServer::TdsServer()
    : m_state(std::make_shared<State>())
{ }

TdsServer::~TdsServer()
{
    stop();
}

bool TdsServer::start()
{
    if (m_state->acceptThread)
        return true;
    m_state->stopping = false;
    auto promise = std::make_shared<std::promise<quint16>>();
    std::future<quint16> port = promise->get_future();
    auto state = m_state;
    QThread* thread = QThread::create([state, promise] {
        Acceptor acceptor(state);
        if (!acceptor.listen(QHostAddress::LocalHost, 0)) {
            promise->set_value(0);
            return;
        }
        promise->set_value(acceptor.serverPort());
        while (!state->stopping.load())
            acceptor.waitForNewConnection(PollMs);
        acceptor.close();
        acceptor.joinSessions();
    });
    thread->start();
    const quint16 p = port.get();
    m_state->acceptThread = thread;
    m_state->port = p;
    if (p == 0) {
        stop();
        return false;
    }
    return true;
}

void TdsServer::stop()
{
    QThread*& thread = m_state->acceptThread;
    if (!thread)
        return;
    m_state->stopping = true;
    thread->wait();
    delete thread;
    thread = nullptr;
    m_state->port = 0;
}

quint16 TdsServer::port() const
{
    return m_state->port.load();
}

QString TdsServer::connectionString(const QString& database, const QString& user, const QString& password) const
{
    return u"Driver={SQL Server};Server=127.0.0.1,%1;Database=%2;Uid=%3;Pwd=%4;"_s.arg(QString::number(port()),
                                                                                       database, user, password);
}

void TdsServer::addTable(const TableSpec& table)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->tables.append(table);
}

void TdsServer::clearTables()
{
    QMutexLocker lock(&m_state->mutex);
    m_state->tables.clear();
}

void TdsServer::setDatabaseFiles(const QList<DatabaseFile>& files)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->files = files;
}

void TdsServer::setDatabaseFilesMissing(bool missing)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->filesMissing = missing;
}

void TdsServer::setDefaultDatabase(const QString& name)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->defaultDatabase = name;
}

void TdsServer::setSnapshotIsolation(bool allowed)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->snapshotIsolation = allowed;
}

void TdsServer::setLoginAccepted(bool accepted)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->loginAccepted = accepted;
}

void TdsServer::setKnownDatabases(const QStringList& names)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->knownDatabases = names;
}

QStringList TdsServer::knownDatabases() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->knownDatabases;
}

void TdsServer::setRecordBatches(bool record)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->recordBatches = record;
}

QList<qsizetype> TdsServer::batchBytes() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->batchBytes;
}

void TdsServer::setContextMessages(bool enabled)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->contextMessages = enabled;
}

void TdsServer::addMessageRule(const MessageRule& rule)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->rules.append(rule);
}

void TdsServer::clearMessageRules()
{
    QMutexLocker lock(&m_state->mutex);
    m_state->rules.clear();
}

void TdsServer::setFaults(const Faults& faults)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->faults = faults;
}

Faults TdsServer::faults() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->faults;
}

QStringList TdsServer::batches() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->batches;
}

QList<RpcRecord> TdsServer::rpcs() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->rpcs;
}

QStringList TdsServer::requests() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->requests;
}

QList<LoginRecord> TdsServer::logins() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->logins;
}

int TdsServer::connectionCount() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->connections;
}

int TdsServer::attentionCount() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->attentions;
}

void TdsServer::clearRecords()
{
    QMutexLocker lock(&m_state->mutex);
    m_state->batches.clear();
    m_state->requests.clear();
    m_state->batchBytes.clear();
    m_state->rpcs.clear();
    m_state->logins.clear();
    m_state->attentions = 0;
}

QString dataTypeName(SqlType type)
{
    switch (type) {
    case SqlType::Int:
        return u"int"_s;
    case SqlType::BigInt:
        return u"bigint"_s;
    case SqlType::SmallInt:
        return u"smallint"_s;
    case SqlType::TinyInt:
        return u"tinyint"_s;
    case SqlType::Bit:
        return u"bit"_s;
    case SqlType::Decimal:
        return u"decimal"_s;
    case SqlType::Numeric:
        return u"numeric"_s;
    case SqlType::Float:
        return u"float"_s;
    case SqlType::Real:
        return u"real"_s;
    case SqlType::Money:
        return u"money"_s;
    case SqlType::SmallMoney:
        return u"smallmoney"_s;
    case SqlType::DateTime:
        return u"datetime"_s;
    case SqlType::SmallDateTime:
        return u"smalldatetime"_s;
    case SqlType::Date:
        return u"date"_s;
    case SqlType::Time:
        return u"time"_s;
    case SqlType::DateTime2:
        return u"datetime2"_s;
    case SqlType::DateTimeOffset:
        return u"datetimeoffset"_s;
    case SqlType::VarChar:
        return u"varchar"_s;
    case SqlType::NVarChar:
        return u"nvarchar"_s;
    case SqlType::Char:
        return u"char"_s;
    case SqlType::NChar:
        return u"nchar"_s;
    case SqlType::Text:
        return u"text"_s;
    case SqlType::NText:
        return u"ntext"_s;
    case SqlType::Xml:
        return u"xml"_s;
    case SqlType::UniqueIdentifier:
        return u"uniqueidentifier"_s;
    case SqlType::Binary:
        return u"binary"_s;
    case SqlType::VarBinary:
        return u"varbinary"_s;
    case SqlType::Image:
        return u"image"_s;
    case SqlType::RowVersion:
        return u"timestamp"_s;
    }
    return {};
}

} // namespace tds
