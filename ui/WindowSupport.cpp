#include "WindowSupport.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QImageReader>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QPixmap>
#include <QRadioButton>
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
