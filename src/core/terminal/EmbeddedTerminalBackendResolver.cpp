#include "EmbeddedTerminalBackendResolver.h"

EmbeddedTerminalBackendResolver &EmbeddedTerminalBackendResolver::shared()
{
    static EmbeddedTerminalBackendResolver resolver;
    return resolver;
}

EmbeddedTerminalBackendResolver::EmbeddedTerminalBackendResolver()
    // This build carries no terminal library yet; every workspace uses the
    // process-backed command line.
    : m_backend(Backend::processFallback),
      m_reason(QStringLiteral("The embedded terminal is not available in this build."))
{
}

void EmbeddedTerminalBackendResolver::overrideForTesting(Backend backend, const QString &reason)
{
    m_backend = backend;
    m_reason = backend == Backend::embeddedLibrary ? QString() : reason;
}
