#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QString>
#include <optional>

// Alt+Space for the whole desktop on X11: a passive key grab on the root
// window, released when the object goes. Where the display server has no such
// grab (Wayland, no display) or another program holds the key, nothing is
// grabbed: that is logged and the key keeps working inside the window.
class GlobalVoiceHotkey final : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(GlobalVoiceHotkey)

public:
    GlobalVoiceHotkey();
    ~GlobalVoiceHotkey() override;

    // Tries the grab; true when the key is now grabbed.
    bool install();
    bool isGrabbed() const { return m_grabbed; }
    // Why there is no grab, empty while grabbed.
    QString failure() const { return m_failure; }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

signals:
    // One press of Alt+Space (auto-repeats are not reported).
    void activated();

private:
    void release();

    bool m_grabbed = false;
    QString m_failure;
    quint8 m_keycode = 0;
    quint32 m_root = 0;
    bool m_keyDown = false;
    std::optional<quint32> m_lastReleaseTime;
};
