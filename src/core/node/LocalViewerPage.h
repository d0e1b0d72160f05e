#pragma once

#include <QByteArray>

// The board web page served at "/": one constant, self-contained document.
namespace LocalViewerPage {
const QByteArray &document();
}
