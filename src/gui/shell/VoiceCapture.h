#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QWidget>
#include <optional>

// What a finished dictation produced.
struct ParakeetTranscription
{
    QString text;
    QString engine;
};

// The answer of starting or stopping a dictation.
struct ParakeetVoiceCaptureResult
{
    enum class Kind { transcription, failure, started, cancelled };
    Kind kind = Kind::cancelled;
    ParakeetTranscription transcription; // for `transcription`
    QString message; // for `failure`

    static ParakeetVoiceCaptureResult started() { return {Kind::started, {}, {}}; }
    static ParakeetVoiceCaptureResult cancelled() { return {Kind::cancelled, {}, {}}; }
    static ParakeetVoiceCaptureResult failure(const QString &message) { return {Kind::failure, {}, message}; }
    static ParakeetVoiceCaptureResult done(const ParakeetTranscription &t) { return {Kind::transcription, t, {}}; }
};

// The dictation controller a window owns: records, meters and transcribes.
// The window observes its flags through `changed`.
class VoiceCaptureController : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VoiceCaptureController)

public:
    using QObject::QObject;

    virtual bool isRecording() const = 0;
    virtual bool isTranscribing() const = 0;
    virtual std::optional<QString> lastErrorMessage() const = 0;
    virtual double audioLevel() const = 0;

    virtual QCoro::Task<ParakeetVoiceCaptureResult> startRecording() = 0;
    virtual QCoro::Task<ParakeetVoiceCaptureResult> stopRecordingAndTranscribe() = 0;
    virtual void cancelCapture() = 0;

signals:
    void changed();
};

// The controller of this build: dictation has not arrived yet, so every start
// fails and says so.
class UnavailableVoiceCaptureController final : public VoiceCaptureController
{
    Q_OBJECT

public:
    using VoiceCaptureController::VoiceCaptureController;
    static inline const QString unavailableMessage = QStringLiteral("Dictation is not available yet.");

    bool isRecording() const override { return false; }
    bool isTranscribing() const override { return false; }
    std::optional<QString> lastErrorMessage() const override { return m_lastError; }
    double audioLevel() const override { return 0; }
    QCoro::Task<ParakeetVoiceCaptureResult> startRecording() override;
    QCoro::Task<ParakeetVoiceCaptureResult> stopRecordingAndTranscribe() override;
    void cancelCapture() override { }

private:
    std::optional<QString> m_lastError;
};

// The dictation overlay: what the controller is doing and its input level.
class VoiceCaptureHUDView final : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(double presence READ presence WRITE setPresence)

public:
    explicit VoiceCaptureHUDView(QWidget *parent = nullptr);
    void setState(bool isRecording, bool isTranscribing, double audioLevel);

    // Shows or hides the overlay: it grows from 68% while fading in and
    // shrinks to 82% while fading out, anchored at its bottom edge.
    void setPresented(bool presented);
    bool isPresented() const { return m_presented; }
    double presence() const { return m_presence; }
    void setPresence(double presence);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_presented = false;
    double m_presence = 0; // 0 gone … 1 fully shown
    class QPropertyAnimation *m_animation = nullptr;
    bool m_isRecording = false;
    bool m_isTranscribing = false;
    double m_audioLevel = 0;
};
