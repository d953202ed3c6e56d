#pragma once

#include <QString>

/** The options of one backup, read once when its dump starts (the main window's controls, or the command's options). */
struct BackupOptions
{
    /** "KeepBackups": how many of the database's newest backups stay after a dump that succeeded; 0 keeps all. */
    int keep = 0;
    /** "Compress": the script goes through gzip into "<name>.sql.gz". */
    bool compress = false;
    /** "CopyTo": where the saved backup is copied (an rclone destination or a folder); empty: no copy. */
    QString copyTo;
    /**
     * "CompleteSchema": after the header and the database block, the script holds the complete schema (keys, identity,
     * defaults, indexes, constraints, views, functions, procedures, triggers) around the rows, in batches ended by GO.
     */
    bool complete = false;
    /** "VerifyBackups": the saved backup goes through the restore drill. */
    bool verify = false;
};
