#pragma once

#include <QPointer>
#include <QUrl>
#include <QWidget>
#include <functional>

class QTimer;
class WebContent;

// The "No Workspaces Yet" empty state: the page backdrop and a centred card
// pointing to the sidebar's workspace actions.
class NoProjectsView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NoProjectsView)

public:
    explicit NoProjectsView(QWidget *parent = nullptr);
    ~NoProjectsView() override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// A bare web view that shows one address and loads it only when the page it
// shows is not already that address. The web engine is opened when the view
// is first given an address.
class SimpleWebView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SimpleWebView)

public:
    static constexpr int loadTimeoutMs = 60'000;

    explicit SimpleWebView(QWidget *parent = nullptr);
    ~SimpleWebView() override;

    // Compares with the page shown now, not with the previous address: after
    // a link or a redirect the same address loads again.
    void setUrlString(const QString &urlString);
    const QString &urlString() const { return m_urlString; }

    // The shown page's address (empty before the first load).
    QUrl currentUrl() const;
    // How many loads this view started.
    int loadsStarted() const { return m_loadsStarted; }
    WebContent *content() const { return m_content; }
    // Why the web engine could not be opened, if it could not.
    const QString &engineError() const { return m_engineError; }
    // The time-out of one load (tests shorten it).
    void setLoadTimeoutMs(int timeout) { m_loadTimeoutMs = timeout; }
    bool isLoading() const { return m_loading; }

signals:
    void loadFinished(bool ok);

private:
    bool ensureContent();

    QString m_urlString;
    WebContent *m_content = nullptr;
    QPointer<QWidget> m_contentWidget;
    QString m_engineError;
    QTimer *m_timeout = nullptr;
    int m_loadTimeoutMs = loadTimeoutMs;
    int m_loadsStarted = 0;
    bool m_loading = false;
};

// Hosts any widget and reports middle-button clicks on it: one call per
// click, when the button is released over the view. Left and right clicks
// pass untouched.
class MiddleClickContainer final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MiddleClickContainer)

public:
    explicit MiddleClickContainer(QWidget *content, std::function<void()> onMiddleClick, QWidget *parent = nullptr);
    ~MiddleClickContainer() override;

    void setContent(QWidget *content);
    QWidget *content() const { return m_content; }
    void setOnMiddleClick(std::function<void()> action) { m_onMiddleClick = std::move(action); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void watch(QWidget *widget);
    bool handle(QEvent *event, QWidget *source);

    QWidget *m_content = nullptr;
    std::function<void()> m_onMiddleClick;
    bool m_middlePressed = false;
};
