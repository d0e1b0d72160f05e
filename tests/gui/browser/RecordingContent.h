#pragma once

#include "browser/WebContent.h"

#include <QStringList>
#include <QWidget>

// A web view that does nothing but write down its calls; a load of the empty
// page finishes at once, as the engine reports it.
class RecordingContent final : public QWidget, public WebContent
{
public:
    explicit RecordingContent(QStringList *log) : m_log(log) { }
    QWidget *widget() override { return this; }
    void setEvents(WebContentEvents events) override { m_events = std::move(events); }
    void load(const QUrl &url) override { m_log->append(QStringLiteral("load ") + url.toString()); }
    void reload(bool) override { m_log->append(QStringLiteral("reload")); }
    void stop() override { m_log->append(QStringLiteral("stop")); }
    QUrl url() const override { return {}; }
    QString title() const override { return {}; }
    void setHtml(const QString &html, const QUrl &baseUrl) override
    {
        m_log->append(QStringLiteral("blank") + html + baseUrl.toString());
        if (m_events.loadOutcome)
            m_events.loadOutcome({QUrl(QStringLiteral("about:blank")), true, false, 0, {}});
    }

    // The engine's report of a finished navigation.
    void finish(const QUrl &url)
    {
        if (m_events.loadOutcome)
            m_events.loadOutcome({url, true, false, 0, {}});
    }

private:
    QStringList *m_log;
    WebContentEvents m_events;
};
