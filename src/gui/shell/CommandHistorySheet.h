#pragma once

#include <QDialog>
#include <QStringList>

class MainWindowState;
class QLineEdit;
class QListWidget;

// The window-modal sheet listing a workspace's command history: a search
// field, the matching entries with the highlighted row, and Close. Single
// click highlights, double click runs; the window's key handling moves the
// highlight and chooses with Return.
class CommandHistorySheet final : public QDialog
{
    Q_OBJECT

public:
    CommandHistorySheet(MainWindowState &state, QWidget *parent);

    // Re-reads the list and the highlight from the window state.
    void refresh();

signals:
    void entryChosen(qint64 row);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    MainWindowState &m_state;
    QLineEdit *m_search;
    QListWidget *m_list;
    QStringList m_shown;
};
