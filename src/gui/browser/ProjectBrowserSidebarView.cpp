#include "ProjectBrowserSidebarView.h"

#include "shell/ShellWidgets.h"

#include <QVBoxLayout>

ProjectBrowserSidebarView::ProjectBrowserSidebarView(ProjectBrowserSidebarArguments arguments, QWidget *parent)
    : QWidget(parent), m_arguments(std::move(arguments))
{
    setObjectName(QStringLiteral("webPreview"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_placeholder = new PlaceholderView(QStringLiteral("webPreviewPlaceholder"), QStringLiteral("Web Preview"), this);
    layout->addWidget(m_placeholder);
    m_placeholder->setDetail(m_arguments.initialURLString);
}

ProjectBrowserSidebarView::~ProjectBrowserSidebarView() = default;

void ProjectBrowserSidebarView::update(const ProjectBrowserSidebarArguments &arguments)
{
    m_arguments = arguments;
    m_placeholder->setDetail(m_arguments.initialURLString);
}
