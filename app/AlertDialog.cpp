#include "app/AlertDialog.h"

#include "app/ShellTexts.h"
#include "app/TrayIconImage.h"

#include <QFontMetrics>
#include <QtMath>

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>

namespace {

QLabel *plainLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(parent);
    // Verbatim: a generator's report may hold '<' and '&' that must not be
    // taken for markup.
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

AlertDialog::AlertDialog(const QString &title, const QString &message, QWidget *parent)
    : QDialog(parent)
{
    // The desktop adds the program's name; the title tells alerts apart in
    // a task bar.
    setWindowTitle(title);
    setObjectName(QStringLiteral("alertDialog"));

    m_icon = new QLabel(this);
    drawInformationSymbol();
    m_icon->setAlignment(Qt::AlignTop);

    m_title = plainLabel(title, this);
    m_title->setObjectName(QStringLiteral("alertTitle"));
    QFont titleFont = m_title->font();
    titleFont.setBold(true);
    m_title->setFont(titleFont);

    m_messageArea = new QScrollArea(this);
    m_messageArea->setFrameShape(QFrame::NoFrame);
    m_messageArea->setWidgetResizable(true);
    m_messageArea->viewport()->setAutoFillBackground(false);
    m_message = plainLabel(message, m_messageArea);
    m_message->setObjectName(QStringLiteral("alertMessage"));
    m_message->setAutoFillBackground(false);
    m_messageArea->setWidget(m_message);
    m_messageArea->setVisible(!message.isEmpty());

    m_buttons = new QDialogButtonBox(this);
    m_okButton = m_buttons->addButton(ShellTexts::okButton(), QDialogButtonBox::AcceptRole);
    static_cast<QPushButton *>(m_okButton)->setDefault(true);
    connect(m_buttons, &QDialogButtonBox::clicked, this, [this](QAbstractButton *button) {
        m_clicked = button;
        accept();
    });

    auto *texts = new QVBoxLayout;
    texts->addWidget(m_title);
    texts->addWidget(m_messageArea);
    auto *body = new QHBoxLayout;
    body->addWidget(m_icon, 0, Qt::AlignTop);
    body->addLayout(texts, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(body);
    layout->addWidget(m_buttons);
    // The dialog takes the size of its content; the content is kept within
    // the screen by fitMessageToScreen().
    layout->setSizeConstraint(QLayout::SetFixedSize);

    fitMessageToScreen();
}

QString AlertDialog::title() const { return m_title->text(); }

QString AlertDialog::message() const { return m_message->text(); }

QAbstractButton *AlertDialog::addButton(const QString &text)
{
    return m_buttons->addButton(text, QDialogButtonBox::RejectRole);
}

void AlertDialog::present()
{
    setWindowModality(Qt::ApplicationModal);
    open();
    raise();
    activateWindow();
}

void AlertDialog::bringToFront()
{
    if (!isVisible())
        return; // answered meanwhile
    if (!isActiveWindow()) {
        // Desktops let a program that the user is not using mark its window
        // at most (sway: urgent; X11 window managers may refuse too), but
        // every one of them puts a window that appears in front, focused.
        hide();
        show();
    }
    raise();
    activateWindow();
}

void AlertDialog::showEvent(QShowEvent *event)
{
    // The screen is only certain now; it may differ from the one assumed
    // when the dialog was built, in size and in scale.
    fitMessageToScreen();
    drawInformationSymbol();
    QDialog::showEvent(event);
}

void AlertDialog::drawInformationSymbol()
{
    const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    const qreal scale = devicePixelRatioF();
    const QIcon symbol = TrayIconImage::informationIcon(
            style()->standardIcon(QStyle::SP_MessageBoxInformation, nullptr, this), qCeil(size * scale));
    m_icon->setPixmap(symbol.pixmap(QSize(size, size), scale));
}

void AlertDialog::fitMessageToScreen()
{
    if (m_message->text().isEmpty())
        return;
    const QScreen *screen = this->screen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
    // Half the screen for the message leaves room for the title, the
    // buttons and the window frame on any screen.
    const int maxHeight = qMax(available.height() / 2, 80);
    const int maxWidth = qMax(available.width() * 2 / 3, 200);
    // As wide as the longest line wants, within 40 to 80 characters, so
    // short texts keep their lines and long reports wrap readably.
    const QFontMetrics metrics(m_message->font());
    int natural = 0;
    const QStringList lines = m_message->text().split(QLatin1Char('\n'));
    for (const QString &line : lines)
        natural = qMax(natural, metrics.horizontalAdvance(line));
    natural += 2 * metrics.averageCharWidth(); // the label's own margins
    const int minWidth = qMin(metrics.averageCharWidth() * 40, maxWidth);
    const int width = qBound(minWidth, natural, qMin(metrics.averageCharWidth() * 80, maxWidth));
    int height = m_message->heightForWidth(width);
    if (height < 0)
        height = m_message->sizeHint().height();

    // A line that cannot be wrapped (a long path) scrolls sideways.
    const bool scrollsSideways = m_message->minimumSizeHint().width() > width;
    if (scrollsSideways)
        height += m_messageArea->horizontalScrollBar()->sizeHint().height();
    const bool scrollsDown = height > maxHeight;
    const int scrollBarWidth = scrollsDown ? m_messageArea->verticalScrollBar()->sizeHint().width() : 0;

    m_messageArea->setVerticalScrollBarPolicy(scrollsDown ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    m_messageArea->setHorizontalScrollBarPolicy(scrollsSideways ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    m_messageArea->setFixedSize(width + scrollBarWidth, qMin(height, maxHeight));
}
