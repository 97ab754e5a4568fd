#include "gui/messagebox.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextEdit>
#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

QStyle::StandardPixmap pixmapFor(QMessageBox::Icon icon)
{
    switch (icon) {
    case QMessageBox::Warning:
        return QStyle::SP_MessageBoxWarning;
    case QMessageBox::Critical:
        return QStyle::SP_MessageBoxCritical;
    case QMessageBox::Question:
        return QStyle::SP_MessageBoxQuestion;
    default:
        return QStyle::SP_MessageBoxInformation;
    }
}

} // namespace

MessageBox::MessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                       const QString& text)
    : QDialog(parent)
{
    setWindowTitle(title);
    setSizeGripEnabled(true);
    auto* iconLabel = new QLabel;
    const int side = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    iconLabel->setPixmap(style()->standardIcon(pixmapFor(icon), nullptr, this).pixmap(side, side));
    iconLabel->setAlignment(Qt::AlignTop);

    m_text = new QTextEdit;
    m_text->setObjectName(u"messageText"_s);
    m_text->setPlainText(text);
    m_text->setReadOnly(true);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_text->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_text->setFrameShape(QFrame::NoFrame);
    m_text->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_text->viewport()->setAutoFillBackground(false);
    m_text->setFocusPolicy(Qt::ClickFocus);

    auto* row = new QHBoxLayout;
    row->addWidget(iconLabel);
    row->addWidget(m_text, 1);
    m_buttons = new QDialogButtonBox;
    connect(m_buttons, &QDialogButtonBox::clicked, this, [this](QAbstractButton* button) {
        if (m_buttons->buttonRole(button) == QDialogButtonBox::ActionRole &&
            button->objectName() == u"copyMessage"_s)
            return;
        m_clicked = button;
        accept();
    });
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row, 1);
    layout->addWidget(m_buttons);
}

QPushButton* MessageBox::addButton(const QString& text, QDialogButtonBox::ButtonRole role)
{
    QPushButton* button = m_buttons->addButton(text, role);
    if (role == QDialogButtonBox::RejectRole && !m_escape) {
        m_escape = button;
        button->setDefault(true);
    }
    return button;
}

void MessageBox::addCopyButton()
{
    QPushButton* copy = m_buttons->addButton(u"复制"_s, QDialogButtonBox::ActionRole);
    copy->setObjectName(u"copyMessage"_s);
    copy->setAutoDefault(false);
    connect(copy, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(m_text->toPlainText()); });
}

void MessageBox::fitTo(const QRect& available)
{
    m_fitted = true;
    // About 36 Chinese characters a line: wide enough for a path, narrow
    // enough to read.
    const int em = fontMetrics().horizontalAdvance(u'中');
    const int textWidth = std::min(36 * em, available.width() * 8 / 10 - 6 * em);
    QTextDocument* document = m_text->document();
    document->setTextWidth(textWidth);
    const int margins = 2 * (m_text->frameWidth() + int(document->documentMargin()));
    const int needed = int(std::ceil(document->size().height())) + margins;
    const int chrome = sizeHint().height() - m_text->sizeHint().height();
    const int room = available.height() * 8 / 10 - chrome;
    m_text->setMinimumSize(textWidth + m_text->verticalScrollBar()->sizeHint().width() + margins,
                           std::min(needed, std::max(room, 3 * fontMetrics().lineSpacing())));
    resize(minimumSizeHint());
}

QStringList MessageBox::cutParts() const
{
    QStringList cut;
    const QTextDocument* document = m_text->document();
    const bool wide = document->idealWidth() <= m_text->viewport()->width() + 1;
    const bool whole = document->size().height() <= m_text->viewport()->height() + 1;
    if (!wide || !(whole || m_text->verticalScrollBar()->isVisible()))
        cut << m_text->toPlainText().left(40);
    for (const QPushButton* button : findChildren<QPushButton*>()) {
        if (button->fontMetrics().horizontalAdvance(button->text()) >= button->width())
            cut << button->text();
    }
    return cut;
}

int MessageBox::exec()
{
    if (!m_fitted) {
        QScreen* screen =
            parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
        fitTo(screen->availableGeometry());
    }
    const int result = QDialog::exec();
    if (result == Rejected)
        m_clicked = m_escape;
    return result;
}

} // namespace batch
