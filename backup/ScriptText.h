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
QString useMasterLine();
QString createSchemaLine(const QString& database);

/**
 * The header's first three lines as they begin a script of the database from the server, each with CR LF, in UTF-8:
 * what a file must begin with to be a backup of that database.
 */
QByteArray headerBytes(const QString& server, const QString& database);
/** True when the line (its line end may be included) can begin a header: the server line's beginning. */
bool isServerLine(QStringView line);
/**
 * True when the three lines (line ends may be included) are the header of a script this program wrote: the server
 * line of any server and database, the dash line and the generated-by line.
 */
bool isHeader(QStringView first, QStringView second, QStringView third);
/** True for the line "USE [master]" (blanks around it and its line end may be included). */
bool isUseMasterLine(QStringView line);

/** The object line of the database block (line 14) with the script date. */
QString databaseObjectLine(const QString& database, const QDateTime& now);
/** Line 15: the database existence test. */
QString databaseExistsLine(const QString& database);
/**
 * Reads the database existence test at the beginning of `text`: the database's name as its literal gives it exactly,
 * and in `length` how much of the text the test takes (up to its closing parenthesis). None when the text does not
 * begin with the test; `length` 0 when it begins with it but the test is not complete.
 */
std::optional<QString> readDatabaseExistsLine(QStringView text, qsizetype& length);
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

/**
 * Writes one long value that comes in pieces (RecordSet::FieldPiece), so that memory does not grow with it.
 *
 * Byte strings are written as they come: 0x and two hex digits a byte, the same text as appendValue at any size.
 * Text is held while it is at most `HoldChars` characters long and then written by appendValue, so every value of that
 * size has exactly the script text it has when read whole. Whether a longer text fits Windows-1252 (plain '...') and
 * whether it holds a backslash before a line break (a cut literal) is only known at its end, when most of it is in the
 * file: it is written as it comes in the form that holds any text, CONVERT(nvarchar(max), N'...') with apostrophes
 * doubled, and cut after each backslash before a line break as appendValue cuts, continuing with + N'...'. The server
 * converts it to the column's type on insert; nvarchar(max) keeps every character, for any character column.
 */
class LongValueWriter
{
public:
    /** Characters of text held before the value is written in its long form (2 MiB of UTF-16). */
    static constexpr qsizetype HoldChars = 1024 * 1024;

    explicit LongValueWriter(ScriptBuffer& out, qsizetype holdChars = HoldChars)
        : m_out(out)
        , m_holdChars(holdChars)
    { }

    /** Takes the next piece: Text or Binary (an empty value comes as one empty piece), or Null for NULL. */
    void add(const FieldValue& piece);
    /** Ends the value; a value that got no piece (its read failed at once) is written NULL. */
    void finish();

private:
    void streamText(QStringView text);

    enum class State { Empty, Null, Binary, Held, Streamed };
    ScriptBuffer& m_out;
    qsizetype m_holdChars;
    State m_state = State::Empty;
    FieldValue::Kind m_kind = FieldValue::Kind::Text;
    QString m_held;
    /** A high surrogate that ended a piece: it is written with the low one that begins the next. */
    QString m_pendingSurrogate;
    bool m_afterBackslash = false;
    bool m_cut = false;
};

/** True when every character of the text has a place in Windows-1252. */
bool fitsWindows1252(QStringView text);

} // namespace ScriptText
