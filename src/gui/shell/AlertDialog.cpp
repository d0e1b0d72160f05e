#include "AlertDialog.h"

#include "DarkAppearance.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

AlertDialog::AlertDialog(const QString &objectName, const QString &title, QWidget *parent) : QDialog(parent)
{
    setObjectName(objectName);
    setWindowTitle(title);
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    setMinimumWidth(360);
    setMaximumWidth(480);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(22, 20, 22, 18);
    layout->setSpacing(10);
    m_title = new QLabel(title, this);
    m_title->setObjectName(QStringLiteral("alertTitle"));
    m_title->setFont(DarkAppearance::interfaceFont(13, QFont::Bold));
    m_title->setWordWrap(true);
    layout->addWidget(m_title);
    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("alertMessage"));
    m_message->setWordWrap(true);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_message);

    m_buttonRow = new QWidget(this);
    auto *buttons = new QHBoxLayout(m_buttonRow);
    buttons->setContentsMargins(0, 8, 0, 0);
    buttons->setSpacing(8);
    buttons->addStretch(1);
    layout->addWidget(m_buttonRow);
}

void AlertDialog::setMessage(const QString &message)
{
    m_message->setText(message);
    m_message->setVisible(!message.isEmpty());
}

QString AlertDialog::message() const
{
    return m_message->text();
}

QLineEdit *AlertDialog::addTextField(const QString &placeholder)
{
    if (!m_field) {
        m_field = new QLineEdit(this);
        m_field->setObjectName(QStringLiteral("alertTextField"));
        m_field->setPlaceholderText(placeholder);
        auto *layout = static_cast<QVBoxLayout *>(this->layout());
        layout->insertWidget(layout->indexOf(m_buttonRow), m_field);
    }
    return m_field;
}

QPushButton *AlertDialog::addButton(const QString &text, Role role, const QString &objectName)
{
    auto *button = new QPushButton(text, m_buttonRow);
    button->setObjectName(objectName);
    button->setAutoDefault(false);
    button->setMinimumWidth(84);
    if (role == Role::destructive)
        button->setStyleSheet(QStringLiteral("QPushButton { color: #ff6b63; font-weight: 600; }"));
    if (role == Role::cancel)
        m_cancelButton = button;
    else if (role == Role::none)
        button->setDefault(true);
    m_buttonRow->layout()->addWidget(button);
    connect(button, &QPushButton::clicked, this, [this, button, role] {
        m_clicked = button;
        if (role == Role::cancel)
            QDialog::reject();
        else
            accept();
    });
    return button;
}

void AlertDialog::reject()
{
    // Escape and closing the window count as the cancel button when there is one.
    m_clicked = m_cancelButton;
    QDialog::reject();
}

void AlertDialog::paintEvent(QPaintEvent *)
{
    // A hairline edge keeps the alert apart from the dark window behind it.
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    painter.setPen(DarkAppearance::separatorColor().lighter(130));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
