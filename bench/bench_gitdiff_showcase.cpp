// Shows the diff viewer or the task's git diff section with sample data and
// stays up until it is ended (or after a minute), so that screenshots can be
// taken of the screen, e.g. under Xvfb with `import -window root`.
//
//   bench_gitdiff_showcase viewer|empty|binary|section

#include "board/GitDiffFileList.h"
#include "board/GitDiffView.h"
#include "board/TaskGitDiffSection.h"
#include "shell/DarkAppearance.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QString fixture(const QString &name)
{
    QFile file(QStringLiteral(TESSARON_FIXTURES_DIR "/gitdiff/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", qPrintable(name));
    return QString::fromUtf8(file.readAll());
}

// A stand-in for the main window behind the sheet.
QWidget *backdrop()
{
    auto *window = new QWidget;
    window->setWindowTitle(QStringLiteral("Tessaron"));
    window->setGeometry(QGuiApplication::primaryScreen()->geometry());
    window->setAutoFillBackground(true);
    window->show();
    return window;
}

void centre(QWidget *widget)
{
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    widget->move(screen.center() - QPoint(widget->width() / 2, widget->height() / 2));
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

BL_Task task(BL_TaskStatus status, const std::optional<BL_TaskGitDiffArtifact> &artifact)
{
    BL_Task result;
    result.blID = QUuid::createUuid();
    result.projectID = QUuid("{6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c}");
    result.status = status;
    result.metadata = BL_TaskGitDiffArtifact::encode(artifact, QByteArrayLiteral("{}"));
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    DarkAppearance::apply(application);
    const QString scene = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("viewer");
    QWidget *window = backdrop();
    QTemporaryDir data;

    if (scene == QLatin1String("section")) {
        const TaskGitCheckpointService service(data.path());
        auto *panel = new QFrame(window);
        panel->setObjectName(QStringLiteral("detailStandIn"));
        panel->setStyleSheet(QStringLiteral("#detailStandIn { background: #232529; border: 1px solid #34363b; "
                                            "border-radius: 12px; }"));
        auto *column = new QVBoxLayout(panel);
        column->setContentsMargins(18, 18, 18, 18);
        column->setSpacing(18);

        // A finished task whose patch is not UTF-8: the button and, after a
        // press, the error line under it.
        BL_TaskGitDiffArtifact ready;
        ready.state = BL_TaskGitDiffState::ready;
        ready.summary = BL_TaskGitDiffSummary {128, 37, 5};
        BL_Task first = task(BL_TaskStatus::completed, std::nullopt);
        ready.diffFilePath = service.patchFilePath(first.projectID, first.blID);
        first.metadata = BL_TaskGitDiffArtifact::encode(ready, "{}");
        writeFile(*ready.diffFilePath, QByteArray("diff --git a/x b/x\n+caf\xe9\n"));
        auto *withError = new TaskGitDiffSection(service, first);
        column->addWidget(withError);

        // A capture that failed: its message as the status line.
        BL_TaskGitDiffArtifact failed;
        failed.state = BL_TaskGitDiffState::failed;
        failed.errorMessage = QStringLiteral("Failed to capture Git before-checkpoint: fatal: not a git repository");
        column->addWidget(new TaskGitDiffSection(service, task(BL_TaskStatus::failed, failed)));

        // A task still running, nothing captured yet.
        column->addWidget(new TaskGitDiffSection(service, task(BL_TaskStatus::inProgress, std::nullopt)));
        column->addStretch(1);
        panel->setGeometry(60, 60, 560, 420);
        panel->show();
        withError->openGitDiffViewer();
    } else {
        QString text;
        if (scene == QLatin1String("viewer") || scene == QLatin1String("binary"))
            text = fixture(QStringLiteral("showcase.patch"));
        auto *view = new GitDiffView(
            text, 1600.0, [] {}, window);
        view->resize(1408, 760);
        centre(view);
        view->show();
        if (scene != QLatin1String("empty")) {
            const auto &files = view->parsedDiff().files;
            view->selectFile(files[scene == QLatin1String("binary") ? 2 : 1].id);
        }
    }
    QTimer::singleShot(60000, &application, &QApplication::quit);
    return application.exec();
}
