#pragma once

#include "Views.h"

#include <QCursor>
#include <QFont>
#include <QList>
#include <QPointer>
#include <QRect>
#include <QString>

#include <optional>

class QEvent;
class QWidget;

/**
 * Creates one control of a window from its layout table: the design name as object name, its place, its font, and
 * mouse moves over it reported to the window's hover filter. `args` come before the container in the constructor
 * (a caption, for buttons, labels and check boxes).
 */
template <typename Control, typename... Args>
Control* placeControl(
    QWidget* container, const QString& name, const QRect& rect, const QFont& font, QObject* hoverFilter, Args&&... args)
{
    auto* control = new Control(std::forward<Args>(args)..., container);
    control->setObjectName(name);
    control->setGeometry(rect);
    control->setFont(font);
    control->setMouseTracking(true);
    control->installEventFilter(hoverFilter);
    return control;
}

/** Twips of the layout tables to pixels at 96 dots per inch (15 twips to a pixel). */
constexpr int twips(int value)
{
    return value / 15;
}

/** A control's rectangle from its layout in twips (left, top, width, height). */
QRect twipsRect(int left, int top, int width, int height);

/** The windows' two fonts: Arial bold 9 pt for frames, labels, boxes and lists, 11.25 pt for push buttons. */
QFont controlFont();
QFont buttonFont();

/**
 * One row of controls in a container, left to right, as the layout table places them. `stretch` (one of them, or
 * none) takes up the width the row gains or must give back, as long as its own text still fits.
 */
struct ControlRow
{
    QList<QWidget*> controls;
    QWidget* stretch = nullptr;
};

/**
 * The width a control needs to show its text whole in its own font and style: a label's or check box's caption, a
 * push button's caption, a field's placeholder. Controls without such a text need no more than they have.
 */
int neededWidth(const QWidget* control);

/**
 * How many pixels the row would reach beyond its right edge in the layout table if every control got the width its
 * text needs and kept the table's gaps to its neighbours (0 when it fits).
 */
int rowOverflow(const ControlRow& row);

/**
 * Lays the row out again for fonts wider than the table's: every control at least as wide as its text needs, the
 * table's gaps kept, the row's right edge `grow` pixels further right than in the table (its stretching control
 * takes up the difference).
 */
void fitRow(const ControlRow& row, int grow);

/**
 * Sizes a window for the fonts it is shown with: the window grows by the widest overflow of its rows, then every row
 * is fitted to it. `rows` lists the window's own rows (its frames, its full-width buttons) before the rows inside the
 * frames, so that a frame has its new width before its contents are fitted. Returns the growth in pixels.
 */
int fitRowsToTexts(QWidget* window, const QList<ControlRow>& rows);

/** The application's icon, the blue letter B, in all its sizes. */
QIcon applicationIcon();

/**
 * `SetSystemColors`: gives the window the system's button-face colour and the same background to every frame, label
 * and check box (and radio button) on it; other controls keep theirs.
 */
void SetSystemColors(QWidget* window);

/** Gives a control an own, filled background colour (the white of the connection window's design). */
void setBackgroundColour(QWidget* control, const QColor& colour);

/**
 * `ShortenTitle`'s rule: drops the last word (from the last blank on) at least once, and again while the text is
 * longer than 40 characters; a name without any blank stays as it is.
 */
QString shortenedTitle(const QString& productName);

/** `ShortenTitle`: sets the application's title (display name) from the product name `Tessaline`. */
void ShortenTitle();

/** The product name, the windows' caption. */
inline constexpr char ProductName[] = "Tessaline";

/**
 * True for a mouse move with no button held. Qt hands such a move from a control that ignores it (a push button, a
 * check box, a label) on to the control's parent; the hover rules stop it at the control.
 */
bool isButtonlessMove(const QEvent* event);

/** A cursor loaded from a cursor or image file ("HAND-M.CUR"); none when it cannot be read. */
std::optional<QCursor> loadCursorFile(const QString& path);

/**
 * A window's mouse pointer as the logic sees it (0 arrow, 11 hourglass, 99 custom) and its hover rules: the arrow
 * over the window, its frames and fields, the custom hand over push buttons, and neither while the hourglass shows.
 */
class WindowPointer : public PointerControl
{
public:
    explicit WindowPointer(QWidget* window);

    MousePointer pointer() const override { return m_pointer; }
    void setPointer(MousePointer pointer) override;

    /** The image of pointer 99; without one the custom pointer shows as the arrow. */
    void setCustomCursor(const std::optional<QCursor>& cursor);
    bool hasCustomCursor() const { return m_custom.has_value(); }

    /** The hover rules: over a push button the hand, elsewhere the arrow; an hourglass stays. */
    void hoverPlain();
    void hoverButton();

    /** The cursor that the window shows now. */
    QCursor cursor() const;

private:
    QPointer<QWidget> m_window;
    MousePointer m_pointer = MousePointer::Default;
    std::optional<QCursor> m_custom;
};
