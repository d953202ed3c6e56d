#pragma once

#include "DataAccess.h"
#include "ScriptBuffer.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

/**
 * The text of a backup script: header, database block, table block and INSERT lines. Every function returns or
 * appends exact script text; lines are joined with CR LF by the writer.
 */
namespace ScriptText {

/** The folder of the data and log files on servers that cannot tell theirs. */
inline constexpr char FixedFileFolder[] = "C:\\Program Files\\Microsoft SQL Server\\MSSQL\\Data\\";

/** A name inside [...]: every "]" doubled. */
QString bracketed(const QString& name);
/** A text inside '...' or N'...': every "'" doubled. */
QString quoted(const QString& text);

/**
 * A name in a "--" comment line: every CR and LF written as a space, so that nothing of the name stands on a line of
 * its own (where the restore would run it).
 */
QString lineCommentText(const QString& name);
/**
 * A name inside a block comment: as in a line comment, and every "/" "*" and "*" "/" pair broken apart by a blank.
 * T-SQL nests block comments: a "*" "/" in the name would end the comment early, a "/" "*" would open one that
 * swallows the rest of the script.
 */
QString blockCommentText(const QString& name);

/** Lines 1 to 13: server line, dash lines, generated-by line, "USE [master]" and the create-schema comment. */
QString serverLine(const QString& server, const QString& database);
QString dashLine();
QString generatedByLine();
QString createSchemaLine(const QString& database);

/** The object line of the database block (line 14) with the script date. */
QString databaseObjectLine(const QString& database, const QDateTime& now);
/** Line 15: the database existence test. */
QString databaseExistsLine(const QString& database);
/** Line 16. */
QString dropDatabaseLine(const QString& database);
/**
 * Lines 17 to 43: CREATE DATABASE with its files in the given folders (each ending with its separator), the collation,
 * the compatibility level (run only on servers that accept level 80), the 19 ALTER DATABASE lines and two empty lines.
 */
QStringList createDatabaseBlock(const QString& database, const QString& dataFolder, const QString& logFolder);
/** Line 45. */
QString useDatabaseLine(const QString& database);

/** The folder part of a server file path, with its trailing separator; empty when the path has no folder. */
QString folderOf(const QString& physicalName);

/** True for the schema whose tables the script names by their name alone: dbo (or none given). */
bool isDbo(const QString& schema);
/** "[T]" for a table of dbo, as the format has always named them; "[s].[T]" for a table of any other schema. */
QString tableName(const QString& table, const QString& schema = QString());

/** Table block lines 1 to 4. */
QStringList structureHeader(const QString& table, const QString& schema = QString());
/** Table block line 5: the existence test and drop of the table (ends with one space). */
QString dropTableLine(const QString& table, const QString& schema = QString());
/** Table block line 6 from parallel lists of column names and type texts. */
QString createTableLine(const QString& table,
                        const QStringList& columnNames,
                        const QStringList& typeTexts,
                        const QString& schema = QString());
/** Table block lines 8 to 11. */
QStringList dataHeader(const QString& table, const QString& schema = QString());
/**
 * The lines before the first table of a schema other than dbo: a comment block and a guarded CREATE SCHEMA that runs as
 * a batch of its own (EXEC), then an empty line.
 */
QStringList schemaBlock(const QString& schema);

/**
 * The type text of a column: the data type in upper case; "(n)" or "(max)" for the character and byte-string types
 * whose maximum length is 1 to 8000 or -1; "(precision,scale)" for decimal and numeric; every other type bare.
 */
QString typeText(const QString& dataType,
                 std::optional<qint64> maxLength,
                 std::optional<int> precision = {},
                 std::optional<int> scale = {});
/** True for decimal and numeric, whose type text needs precision and scale. */
bool needsPrecision(const QString& dataType);
/** True for rowversion (timestamp) columns, which take DEFAULT instead of a value. */
bool isRowVersion(const QString& dataType);

/** "SELECT * FROM [T]" or "SELECT * FROM [s].[T]". */
QString dataQuery(const QString& table, const QString& schema = QString());

/** "INSERT INTO [T] VALUES(" (or "[s].[T]") as UTF-8. */
QByteArray insertPrefix(const QString& table, const QString& schema = QString());

/**
 * Appends the script form of one value: NULL; hexadecimal 0x... for byte strings; '...' with doubled apostrophes for
 * everything else, N'...' when the text holds a character that Windows-1252 cannot hold. Dates in the default text,
 * or ISO 8601 when they carry a fraction of a second; bits as True / False; approximate numbers in their shortest
 * round-trip form.
 */
void appendValue(ScriptBuffer& out, const FieldValue& value);
/** The value text alone, for tests and small callers. */
QByteArray valueText(const FieldValue& value);

/** True when every character of the text has a place in Windows-1252. */
bool fitsWindows1252(QStringView text);

} // namespace ScriptText
