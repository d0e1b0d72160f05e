#include "WebEngineModule.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcWebEngine, "tessaron.browser", QtInfoMsg)

namespace {

struct LoadedModule
{
    bool tried = false;
    QString path;
    QString error;
    TessaronWebCreateFunction create = nullptr;
};

QStringList candidatePaths()
{
    QStringList paths;
    // A test or a packager may point at the module directly.
    const QString named = qEnvironmentVariable("TESSARON_WEB_MODULE");
    if (!named.isEmpty())
        paths << named;
    paths << QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("libtessaron-web.so"));
#ifdef TESSARON_WEB_MODULE_BUILD_PATH
    paths << QStringLiteral(TESSARON_WEB_MODULE_BUILD_PATH);
#endif
    return paths;
}

LoadedModule &module()
{
    static LoadedModule loaded;
    if (loaded.tried)
        return loaded;
    loaded.tried = true;
    QStringList reasons;
    for (const QString &path : candidatePaths()) {
        if (!QFileInfo(path).isFile())
            continue;
        // Kept open for the rest of the run: the engine cannot be unloaded.
        auto *library = new QLibrary(path);
        if (!library->load()) {
            reasons << library->errorString();
            delete library;
            continue;
        }
        auto abi = reinterpret_cast<TessaronWebAbiFunction>(library->resolve("tessaron_web_abi"));
        auto create = reinterpret_cast<TessaronWebCreateFunction>(library->resolve("tessaron_web_create"));
        if (!abi || !create || abi() != TESSARON_WEB_MODULE_ABI) {
            reasons << QStringLiteral("%1 is not a web module of this version").arg(path);
            library->unload();
            delete library;
            continue;
        }
        loaded.path = path;
        loaded.create = create;
        qCInfo(lcWebEngine) << "web engine module loaded from" << path;
        return loaded;
    }
    loaded.error = reasons.isEmpty() ? QStringLiteral("The web engine module libtessaron-web.so was not found.")
                                     : reasons.join(QLatin1Char('\n'));
    qCWarning(lcWebEngine).noquote() << "no web engine:" << loaded.error;
    return loaded;
}

} // namespace

namespace WebEngineModule {

WebContent *createContent(QWidget *parent, QString *error)
{
    LoadedModule &loaded = module();
    if (!loaded.create) {
        if (error)
            *error = loaded.error;
        return nullptr;
    }
    return loaded.create(parent);
}

QString loadedPath()
{
    return module().path;
}

} // namespace WebEngineModule
