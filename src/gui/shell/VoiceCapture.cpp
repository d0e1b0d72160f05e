#include "VoiceCapture.h"

#include "DarkAppearance.h"

#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>

QCoro::Task<ParakeetVoiceCaptureResult> UnavailableVoiceCaptureController::startRecording()
{
    m_lastError = unavailableMessage;
    emit changed();
    co_return ParakeetVoiceCaptureResult::failure(unavailableMessage);
}

QCoro::Task<ParakeetVoiceCaptureResult> UnavailableVoiceCaptureController::stopRecordingAndTranscribe()
{
    co_return ParakeetVoiceCaptureResult::failure(unavailableMessage);
}

VoiceCaptureHUDView::VoiceCaptureHUDView(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("voiceCaptureHUD"));
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(300, 64);
    m_animation = new QPropertyAnimation(this, "presence", this);
    m_animation->setDuration(360);
    connect(m_animation, &QPropertyAnimation::finished, this, [this] {
        if (!m_presented)
            hide();
    });
}

void VoiceCaptureHUDView::setPresented(bool presented)
{
    if (presented == m_presented)
        return;
    m_presented = presented;
    m_animation->stop();
    m_animation->setStartValue(m_presence);
    m_animation->setEndValue(presented ? 1.0 : 0.0);
    // Close to a spring that settles without much bounce.
    m_animation->setEasingCurve(presented ? QEasingCurve::OutBack : QEasingCurve::InCubic);
    if (presented)
        show();
    m_animation->start();
}

void VoiceCaptureHUDView::setPresence(double presence)
{
    m_presence = presence;
    update();
}

void VoiceCaptureHUDView::setState(bool isRecording, bool isTranscribing, double audioLevel)
{
    m_isRecording = isRecording;
    m_isTranscribing = isTranscribing;
    m_audioLevel = std::clamp(audioLevel, 0.0, 1.0);
    update();
}

void VoiceCaptureHUDView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double presence = std::clamp(m_presence, 0.0, 1.2);
    const double scale = m_presented ? 0.68 + 0.32 * presence : 0.82 + 0.18 * presence;
    painter.setOpacity(std::clamp(presence, 0.0, 1.0));
    painter.translate(width() / 2.0, height());
    painter.scale(scale, scale);
    painter.translate(-width() / 2.0, -height());
    const QRectF card = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(card, 18, 18);
    painter.fillPath(path, QColor(18, 14, 34, 235));
    painter.setPen(QPen(QColor(255, 255, 255, 46), 1));
    painter.drawPath(path);

    // The dot: red while listening, violet while transcribing.
    const QColor dot = m_isRecording ? QColor(0xff, 0x45, 0x3a) : QColor(0xa8, 0x8b, 0xfa);
    painter.setPen(Qt::NoPen);
    painter.setBrush(dot);
    painter.drawEllipse(QPointF(28, height() / 2.0), 7, 7);

    painter.setPen(Qt::white);
    painter.setFont(DarkAppearance::interfaceFont(11, QFont::DemiBold));
    const QString title = m_isRecording ? QStringLiteral("Listening…") : QStringLiteral("Transcribing…");
    painter.drawText(QRectF(48, 10, width() - 60, 22), Qt::AlignLeft | Qt::AlignVCenter, title);

    // The level meter.
    const QRectF track(48, 38, width() - 68, 6);
    painter.setBrush(QColor(255, 255, 255, 40));
    painter.drawRoundedRect(track, 3, 3);
    const double level = m_isRecording ? m_audioLevel : 1.0;
    QRectF fill = track;
    fill.setWidth(std::max(6.0, track.width() * level));
    painter.setBrush(m_isRecording ? QColor(0x7a, 0xb8, 0xff) : QColor(0xa8, 0x8b, 0xfa, 120));
    painter.drawRoundedRect(fill, 3, 3);
}
