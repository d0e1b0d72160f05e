#pragma once

#include <QString>
#include <optional>

// Which terminal back end this run uses, decided once per process: the
// embedded terminal library when it can be used, else the process-backed
// command line together with the reason.
class EmbeddedTerminalBackendResolver final
{
public:
    enum class Backend { embeddedLibrary, processFallback };

    static EmbeddedTerminalBackendResolver &shared();

    Backend backend() const { return m_backend; }
    bool usesEmbeddedLibrary() const { return m_backend == Backend::embeddedLibrary; }
    // Why the process-backed command line is used; empty for the library.
    const QString &fallbackReason() const { return m_reason; }

    // Overrides the decision; tests use it to stand in for a library that works.
    void overrideForTesting(Backend backend, const QString &reason = QString());

private:
    EmbeddedTerminalBackendResolver();

    Backend m_backend;
    QString m_reason;
};
