#pragma once

#include <QDialog>
#include <QList>

class QLabel;
class QLineEdit;
class QPushButton;

// A window-modal alert: title, message, an optional text field and buttons in
// the order given. A button with the cancel role also answers Escape; a
// destructive one is drawn in red.
class AlertDialog final : public QDialog
{
    Q_OBJECT

public:
    enum class Role { none, cancel, destructive };

    AlertDialog(const QString &objectName, const QString &title, QWidget *parent);

    void setMessage(const QString &message);
    QString message() const;
    // Adds the text field (once) and returns it.
    QLineEdit *addTextField(const QString &placeholder);
    QPushButton *addButton(const QString &text, Role role, const QString &objectName);
    // The button that was pressed, or none when the alert was dismissed.
    QPushButton *clickedButton() const { return m_clicked; }

protected:
    void reject() override;
    void paintEvent(QPaintEvent *event) override;

private:
    QLabel *m_title;
    QLabel *m_message;
    QLineEdit *m_field = nullptr;
    QWidget *m_buttonRow;
    QPushButton *m_cancelButton = nullptr;
    QPushButton *m_clicked = nullptr;
};
