#include "WindowSupport.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QWidget>

using namespace Qt::Literals::StringLiterals;

QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(twips(left), twips(top), twips(width), twips(height));
}

namespace {

QFont arialBold(qreal points)
{
    QFont font(u"Arial"_s);
    font.setBold(true);
    font.setPointSizeF(points);
    return font;
}

} // namespace

QFont controlFont()
{
    return arialBold(9);
}

QFont buttonFont()
{
    return arialBold(11.25);
}

namespace {

/** The width a control's own text needs in its font and style; 0 for a control without such a text. */
int textWidth(const QWidget* control)
{
    QStyle* style = control->style();
    const QFontMetrics metrics(control->font());
    if (auto* box = qobject_cast<const QCheckBox*>(control))
        return box->text().isEmpty() ? 0 : box->sizeHint().width();
    if (auto* label = qobject_cast<const QLabel*>(control))
        return label->text().isEmpty() ? 0 : label->sizeHint().width();
    if (auto* button = qobject_cast<const QPushButton*>(control)) {
        // The caption with the button's margin and frame; the style's minimum width of a push button is left out,
        // so the table's narrow buttons ("...") stay narrow.
        QStyleOptionButton option;
        option.initFrom(button);
        return metrics.size(Qt::TextShowMnemonic, button->text()).width()
            + style->pixelMetric(QStyle::PM_ButtonMargin, &option, button)
            + 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, button);
    }
    if (auto* field = qobject_cast<const QLineEdit*>(control)) {
        if (field->placeholderText().isEmpty())
            return 0;
        // As the field sizes itself: the text, 2 pixels either side, its margins, then the style's frame.
        QStyleOptionFrame option;
        option.initFrom(field);
        option.lineWidth = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, field);
        const QMargins text = field->textMargins();
        const QMargins contents = field->contentsMargins();
        const QSize inside(metrics.horizontalAdvance(field->placeholderText()) + 4 + text.left() + text.right()
                               + contents.left() + contents.right(),
                           field->height());
        return style->sizeFromContents(QStyle::CT_LineEdit, &option, inside, field).width();
    }
    return 0;
}

/** A row's controls placed from its first control's left: each as wide as `widths` says, the table's gaps kept. */
QList<int> rowLefts(const ControlRow& row, const QList<int>& widths)
{
    QList<int> lefts;
    for (qsizetype i = 0; i < row.controls.size(); ++i) {
        const QWidget* control = row.controls.at(i);
        if (i == 0) {
            lefts.append(control->x());
            continue;
        }
        const QWidget* before = row.controls.at(i - 1);
        const int gap = control->x() - (before->x() + before->width());
        lefts.append(lefts.last() + widths.at(i - 1) + gap);
    }
    return lefts;
}

/** Every control at the width it needs, the stretching one at `stretchWidth`. */
QList<int> rowWidths(const ControlRow& row, int stretchWidth)
{
    QList<int> widths;
    for (const QWidget* control : row.controls)
        widths.append(control == row.stretch ? stretchWidth : neededWidth(control));
    return widths;
}

int rowRight(const ControlRow& row, const QList<int>& widths)
{
    return rowLefts(row, widths).last() + widths.last();
}

int tableRight(const ControlRow& row)
{
    const QWidget* last = row.controls.last();
    return last->x() + last->width();
}

} // namespace

int neededWidth(const QWidget* control)
{
    return std::max(control->width(), textWidth(control));
}

int rowOverflow(const ControlRow& row)
{
    if (row.controls.isEmpty())
        return 0;
    // The stretching control may give up whatever its own text does not need.
    const int stretchWidth = row.stretch ? textWidth(row.stretch) : 0;
    return std::max(0, rowRight(row, rowWidths(row, stretchWidth)) - tableRight(row));
}

void fitRow(const ControlRow& row, int grow)
{
    if (row.controls.isEmpty())
        return;
    int stretchWidth = row.stretch ? neededWidth(row.stretch) : 0;
    if (row.stretch) {
        const int slack = tableRight(row) + grow - rowRight(row, rowWidths(row, stretchWidth));
        stretchWidth = std::max(textWidth(row.stretch), stretchWidth + slack);
    }
    const QList<int> widths = rowWidths(row, stretchWidth);
    const QList<int> lefts = rowLefts(row, widths);
    for (qsizetype i = 0; i < row.controls.size(); ++i) {
        QWidget* control = row.controls.at(i);
        control->setGeometry(lefts.at(i), control->y(), widths.at(i), control->height());
    }
}

int fitRowsToTexts(QWidget* window, const QList<ControlRow>& rows)
{
    int grow = 0;
    for (const ControlRow& row : rows)
        grow = std::max(grow, rowOverflow(row));
    if (grow > 0)
        window->setFixedSize(window->width() + grow, window->height());
    for (const ControlRow& row : rows)
        fitRow(row, grow);
    return grow;
}

QIcon applicationIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addFile(u":/icons/tessaline-%1.png"_s.arg(size), QSize(size, size));
    icon.addFile(u":/icons/tessaline.svg"_s);
    return icon;
}

void setBackgroundColour(QWidget* control, const QColor& colour)
{
    // Buttons and check boxes fill with the button role, frames and labels with the window role.
    QPalette palette = control->palette();
    palette.setColor(control->backgroundRole(), colour);
    control->setPalette(palette);
    control->setAutoFillBackground(true);
}

void SetSystemColors(QWidget* window)
{
    const QColor buttonFace = QGuiApplication::palette().color(QPalette::Button);
    setBackgroundColour(window, buttonFace);
    const QList<QWidget*> controls = window->findChildren<QWidget*>();
    for (QWidget* control : controls) {
        if (qobject_cast<QRadioButton*>(control) || qobject_cast<QCheckBox*>(control)
            || qobject_cast<QGroupBox*>(control) || qobject_cast<QLabel*>(control))
            setBackgroundColour(control, buttonFace);
    }
}

QString shortenedTitle(const QString& productName)
{
    QString title = productName;
    do {
        const qsizetype blank = title.lastIndexOf(u' ');
        if (blank < 0)
            break;
        title.truncate(blank);
    } while (title.size() > 40);
    return title;
}

void ShortenTitle()
{
    QGuiApplication::setApplicationDisplayName(shortenedTitle(QString::fromLatin1(ProductName)));
}

bool isButtonlessMove(const QEvent* event)
{
    return event->type() == QEvent::MouseMove && static_cast<const QMouseEvent*>(event)->buttons() == Qt::NoButton;
}

std::optional<QCursor> loadCursorFile(const QString& path)
{
    QImageReader reader(path);
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    // A pointing hand's tip sits near the top left; the file's own hot spot is not exposed by Qt's reader.
    return QCursor(QPixmap::fromImage(std::move(image)), 0, 0);
}

WindowPointer::WindowPointer(QWidget* window)
    : m_window(window)
{ }

void WindowPointer::setPointer(MousePointer pointer)
{
    m_pointer = pointer;
    if (m_window)
        m_window->setCursor(cursor());
}

void WindowPointer::setCustomCursor(const std::optional<QCursor>& cursor)
{
    m_custom = cursor;
    if (m_pointer == MousePointer::Custom)
        setPointer(m_pointer);
}

void WindowPointer::hoverPlain()
{
    if (m_pointer != MousePointer::Hourglass && m_pointer != MousePointer::Default)
        setPointer(MousePointer::Default);
}

void WindowPointer::hoverButton()
{
    if (m_pointer != MousePointer::Hourglass && m_pointer != MousePointer::Custom)
        setPointer(MousePointer::Custom);
}

QCursor WindowPointer::cursor() const
{
    switch (m_pointer) {
    case MousePointer::Hourglass:
        return QCursor(Qt::WaitCursor);
    case MousePointer::Custom:
        return m_custom ? *m_custom : QCursor(Qt::ArrowCursor);
    case MousePointer::Default:
        break;
    }
    return QCursor(Qt::ArrowCursor);
}
