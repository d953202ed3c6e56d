#pragma once

#include "Views.h"

#include <QCursor>
#include <QFont>
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
