#pragma once

#include <QString>

/** The module that the engine's error reports name ("IntervalSave.SaveAll"). */
inline const QString EngineModuleName = QStringLiteral("IntervalSave");
/** Writing to a file whose open failed. */
inline const QString FileNotOpenText = QStringLiteral("The file is not open.");

// The numbered steps of the engine's procedures, one table each. An error report names the procedure and the step
// ("in ...IntervalSave.SaveAll at line 124"), so a number, once given, never changes; a number that only a comment
// names marks where the procedure does that work without a step of its own.

/** The steps of SaveAll. */
namespace SaveAllLine {
// The connection.
constexpr int CreateConnection = 100;
constexpr int CursorLocation = 122;
constexpr int OpenConnection = 124;
// The backup's file name.
constexpr int NameFile = 126;
// The header and the database block, a step for each group of lines.
constexpr int ServerLine = 128;
constexpr int HeaderDash = 130;
constexpr int GeneratedBy = 132;
constexpr int HeaderEnd = 134;
constexpr int MasterComment = 136;
constexpr int UseMaster = 138;
constexpr int MasterEnd = 140;
constexpr int SchemaCommentStart = 142;
constexpr int SchemaComment = 144;
constexpr int SchemaCommentEnd = 146;
constexpr int DatabaseObject = 148;
constexpr int DatabaseExists = 150;
constexpr int DropDatabase = 152;
constexpr int CreateDatabase = 154;
constexpr int UseComment = 156;
constexpr int UseDatabase = 158;
constexpr int DatabaseBlockEnd = 160;
// The catalogue of the default format and its tables.
constexpr int TableList = 162;
constexpr int TablesTotal = 164;
constexpr int SkipOtherObjects = 166;
constexpr int PumpPerTable = 168;
constexpr int TableName = 184;
constexpr int SkipTrace = 186;
constexpr int StructureHeader = 188;
constexpr int Columns = 194;
constexpr int EachColumn = 200;
constexpr int PumpPerColumn = 202;
constexpr int ColumnName = 204; // to 206
constexpr int NeedsPrecision = 214;
constexpr int TypeText = 218;
constexpr int CreateTable = 246;
constexpr int DataHeader = 248;
// The rows of a table (both formats).
constexpr int DataQuery = 254;
constexpr int RowsEnd = 256;
constexpr int PumpPerRow = 258;
constexpr int CheckColumns = 260;
constexpr int ReadValue = 264;
constexpr int MoveNext = 268;
constexpr int PumpAfterRow = 286;
constexpr int TableEnd = 310;
// The end of the dump.
constexpr int CloseConnection = 318;
constexpr int LogLine = 320;
constexpr int StatusCaption = 326;
constexpr int BeginSnapshot = 332;
constexpr int CommitSnapshot = 334;
constexpr int CommitFile = 336;
// The complete schema.
constexpr int ReadSchema = 340;
constexpr int SchemaBeforeData = 342;
constexpr int RowsHeader = 344;
constexpr int RowsFooter = 346;
constexpr int SchemaAfterData = 348;
} // namespace SaveAllLine

/** The steps of FileCont: mode 1 reads a whole file, mode 3 appends to one (a backup's working file included). */
namespace FileContLine {
constexpr int SetPath = 100;
constexpr int ChooseMode = 102;
constexpr int OpenToRead = 104;
constexpr int ReadAll = 108;
constexpr int CloseRead = 110;
constexpr int OpenToAppend = 124;
constexpr int Append = 128;
constexpr int CloseAppended = 130;
} // namespace FileContLine
