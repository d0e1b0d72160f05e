// Paints a terminal surface inside the hosting widget. It takes no focus and
// no clicks: the host keeps both, and the view watches the host's mouse
// through an event filter for selections.
#pragma once

#include <QWidget>

namespace termlib {

class TermSurface;

class TermView final : public QWidget
{
public:
    TermView(TermSurface *surface, QWidget *host);
    void detach() { m_surface = nullptr; }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool cellAt(QPointF position, int &row, int &column) const;

    TermSurface *m_surface;
    bool m_selecting = false;
};

} // namespace termlib
