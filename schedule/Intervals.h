#pragma once

#include <QString>

#include <array>

class MainView;

/** One entry of the interval list ListView2. */
struct IntervalEntry
{
    QString caption;
    qint32 seconds;
};

/** The eleven entries of ListView2, in list order (position 1 first). */
const std::array<IntervalEntry, 11>& IntervalTable();

/** The position (counted from 1) selected when nothing valid is stored under "OftenIndex". */
inline constexpr int DefaultIntervalPosition = 2;

/** The length in seconds of the entry with exactly this caption (case-sensitive); 0 when none has it. */
qint32 IntervalSecondsForCaption(const QString& caption);

/**
 * `GetIntervalSeconds`: the length in seconds of the entry selected in ListView2, 0 when its caption is not one of
 * the table's. Throws Failure when no entry is selected.
 */
qint32 GetIntervalSeconds(const MainView& view);

/**
 * `FormatSeconds`: a number of seconds as "hh:mm:ss" of a day; whole days are dropped (86400 gives "00:00:00") and a
 * negative number is shown by its magnitude.
 */
QString FormatSeconds(qint32 seconds);

/**
 * The stored "OftenIndex" converted as the main window's load converts it: a decimal 16-bit integer, blanks around it
 * allowed. Throws Failure when the text is not a number or lies outside the 16-bit range. The caller selects
 * DefaultIntervalPosition after reporting a failure here, or when IsIntervalPosition() is false for the result.
 */
qint16 ConvertOftenIndex(const QString& stored);

/** True for a position (counted from 1) that names an entry of the interval list. */
bool IsIntervalPosition(int position);
