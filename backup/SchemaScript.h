#pragma once

#include "SchemaCatalogue.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

/**
 * The complete schema's sections of a backup script: before the data (schemas, alias types, sequences, tables), the
 * frame of each table's rows, and after the data (keys, indexes, checks, foreign keys, modules, triggers). Every
 * function returns lines, joined with CR LF by the writer; batches end with lines that hold only "GO". Names are
 * written by ScriptText's rules: [...] with "]" doubled, N'...' with "'" doubled, comment lines kept to one line.
 */
namespace SchemaScript {

/** The separator line between batches. */
inline const QString Go = QStringLiteral("GO");

/** "[s].[n]". */
QString twoPartName(const QString& schema, const QString& name);

/** A column's type as declared: "NVARCHAR(100)", "DECIMAL(10,2)", "DATETIME2(0)", "VARBINARY(max)", "[dbo].[Phone]". */
QString typeText(const SchemaModel::Column& column);

/**
 * One column of CREATE TABLE: name, type, collation where it differs from the database's, IDENTITY(seed, increment),
 * NULL / NOT NULL and a named DEFAULT; a computed column as "AS (...)" with PERSISTED.
 */
QString columnDefinition(const SchemaModel::Column& column, const QString& databaseCollation);

/** The comment that names what the script does not hold; no lines when it holds everything. */
QStringList unscriptedComment(const SchemaModel::Database& db);

/** Before the data: schemas, alias types, sequences (continuing from their current value) and every table. */
QStringList beforeData(const SchemaModel::Database& db);

/** The columns that take a value in an INSERT: all but computed and rowversion columns. */
std::vector<const SchemaModel::Column*> insertedColumns(const SchemaModel::Table& table);
/** "SELECT [a], [b] FROM [s].[T]" over the inserted columns. */
QString dataQuery(const SchemaModel::Table& table);
/** "INSERT INTO [s].[T] ([a], [b]) VALUES(" as UTF-8. */
QByteArray insertPrefix(const SchemaModel::Table& table);
/** The comment lines before a table's rows, and SET IDENTITY_INSERT ... ON for a table with an identity column. */
QStringList rowsHeader(const SchemaModel::Table& table);
/**
 * After a table's rows: SET IDENTITY_INSERT ... OFF, then DBCC CHECKIDENT (..., RESEED, n) so that new rows continue
 * from the server's current value; "GO" and an empty line.
 */
QStringList rowsFooter(const SchemaModel::Table& table, qint64 rowsWritten);

/** After the data: keys, indexes, checks, foreign keys, then views, functions and procedures, then triggers. */
QStringList afterData(const SchemaModel::Database& db);

} // namespace SchemaScript
