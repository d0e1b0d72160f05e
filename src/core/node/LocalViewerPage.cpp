#include "node/LocalViewerPage.h"

namespace LocalViewerPage {

const QByteArray &document()
{
    static const QByteArray page = QByteArrayLiteral("<!doctype html><title>Tessarex Web UI</title>");
    return page;
}

} // namespace LocalViewerPage
