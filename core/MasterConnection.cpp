#include "MasterConnection.h"

using namespace Qt::Literals::StringLiterals;

namespace {

/** A text in an N'...' literal. */
QString literal(QString text)
{
    return u"N'"_s + text.replace(u'\'', u"''"_s) + u'\'';
}

/** The query of the server's list of databases: `columns` of the rows that meet `condition`. */
QString sysdatabases(const QString& columns, const QString& condition)
{
    return u"SELECT "_s + columns + u" FROM master.dbo.sysdatabases WHERE "_s + condition;
}

QString nameIs(const QString& name)
{
    return u"name = "_s + literal(name);
}

} // namespace

MasterConnection::MasterConnection(ConnectionFactory& factory, const ConnectionSettings& settings)
    : m_connectionString(BuildConnectionString(settings.withDatabase(u"master"_s)))
    , m_connection(factory.createConnection())
{
    m_connection->Open(m_connectionString);
}

bool MasterConnection::databaseExists(const QString& name)
{
    const std::unique_ptr<RecordSet> found = m_connection->Execute(sysdatabases(u"name"_s, nameIs(name)));
    const bool exists = !found->Eof();
    found->Close();
    return exists;
}

QList<MasterConnection::Database> MasterConnection::databasesBeginningWith(const QString& stem)
{
    QString pattern = stem;
    for (const QChar mark : {u'\\', u'%', u'_', u'['})
        pattern.replace(mark, u"\\"_s + mark);
    const std::unique_ptr<RecordSet> found
        = m_connection->Execute(sysdatabases(u"name, DATEDIFF(second, crdate, GETDATE())"_s,
                                             u"name LIKE "_s + literal(pattern + u'%') + u" ESCAPE N'\\'"_s));
    QList<Database> databases;
    while (!found->Eof()) {
        databases.append(Database{found->Fields(0).text, found->Fields(1).text.trimmed().toLongLong()});
        found->MoveNext();
    }
    found->Close();
    return databases;
}

void MasterConnection::dropDatabaseIfExists(const QString& name)
{
    QString bracketed = name;
    bracketed.replace(u"]"_s, u"]]"_s);
    m_connection
        ->Execute(u"IF EXISTS ("_s + sysdatabases(u"name"_s, nameIs(name)) + u") DROP DATABASE ["_s + bracketed
                  + u"]"_s)
        ->Close();
}
