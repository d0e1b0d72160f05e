#pragma once

#include "browser/WebViewPurpose.h"

#include <QUuid>
#include <QWidget>

#include <functional>

class PlaceholderView;

// What the workspace page hands its web preview.
struct ProjectBrowserSidebarArguments
{
    QUuid projectID;
    WebViewPurpose webViewPurpose = WebViewPurpose::workspace;
    QString initialURLString;
    // A change asks for a reload.
    qint64 refreshToken = 0;
    // A change asks to focus the address bar.
    qint64 focusAddressBarToken = 0;
    // Writes the two-way visibility flag; the view writes false to hide itself.
    std::function<void(bool)> setVisible;
    // The shown address changed.
    std::function<void(const QString &)> onURLChange;
};

// The tabbed web preview of one workspace. Its width is set by the caller.
class ProjectBrowserSidebarView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProjectBrowserSidebarView)

public:
    explicit ProjectBrowserSidebarView(ProjectBrowserSidebarArguments arguments, QWidget *parent = nullptr);
    ~ProjectBrowserSidebarView() override;

    // New values from the state (address, tokens); the identity stays.
    void update(const ProjectBrowserSidebarArguments &arguments);
    QUuid projectID() const { return m_arguments.projectID; }

private:
    ProjectBrowserSidebarArguments m_arguments;
    PlaceholderView *m_placeholder = nullptr;
};
