// Keys from Qt to the bytes a terminal program reads: the key table, the
// keybind file's bindings and libvterm's encoding together.
#include "KeyEncoder.h"
#include "terminal/TerminalKeys.h"

#include <QTest>
#include <vterm.h>

namespace {
const char kKeybinds[] = "# Tessaron embedded Ghostty keybind overrides.\n"
                         "keybind = ctrl+a=text:\\x01\n"
                         "keybind = ctrl+e=text:\\x05\n"
                         "keybind = ctrl+u=text:\\x15\n"
                         "keybind = ctrl+k=text:\\x0b\n"
                         "keybind = ctrl+w=text:\\x17\n"
                         "keybind = ctrl+c=text:\\x03\n"
                         "keybind = ctrl+r=text:\\x12\n"
                         "keybind = ctrl+d=text:\\x04\n"
                         "keybind = ctrl+l=text:\\x0c\n";

void collect(const char *bytes, size_t length, void *user)
{
    static_cast<QByteArray *>(user)->append(bytes, qsizetype(length));
}
} // namespace

class TerminalKeyEncodingTest : public QObject
{
    Q_OBJECT

private slots:
    void keysBecomeBytes_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("modes"); // written to the terminal first
        QTest::addColumn<bool>("handled");
        QTest::addColumn<QByteArray>("bytes");
        const int none = Qt::NoModifier, shift = Qt::ShiftModifier, ctrl = Qt::ControlModifier, alt = Qt::AltModifier,
                  super = Qt::MetaModifier, keypad = Qt::KeypadModifier;
        QTest::newRow("letter") << int(Qt::Key_A) << none << "a" << QByteArray() << true << QByteArray("a");
        QTest::newRow("shifted letter") << int(Qt::Key_A) << shift << "A" << QByteArray() << true << QByteArray("A");
        QTest::newRow("shifted digit") << int(Qt::Key_Exclam) << shift << "!" << QByteArray() << true
                                       << QByteArray("!");
        QTest::newRow("non-ASCII") << int(Qt::Key_Eacute) << none << "é" << QByteArray() << true << QByteArray("é");
        QTest::newRow("return") << int(Qt::Key_Return) << none << "\r" << QByteArray() << true << QByteArray("\r");
        QTest::newRow("keypad enter") << int(Qt::Key_Enter) << keypad << "\r" << QByteArray() << true
                                      << QByteArray("\r");
        QTest::newRow("keypad digit") << int(Qt::Key_5) << keypad << "5" << QByteArray() << true << QByteArray("5");
        QTest::newRow("tab") << int(Qt::Key_Tab) << none << "\t" << QByteArray() << true << QByteArray("\t");
        QTest::newRow("shift tab") << int(Qt::Key_Backtab) << shift << "" << QByteArray() << true
                                   << QByteArray("\x1b[Z");
        QTest::newRow("backspace") << int(Qt::Key_Backspace) << none << "\b" << QByteArray() << true
                                   << QByteArray("\x7f");
        QTest::newRow("escape") << int(Qt::Key_Escape) << none << "\x1b" << QByteArray() << true << QByteArray("\x1b");
        QTest::newRow("delete") << int(Qt::Key_Delete) << none << "" << QByteArray() << true << QByteArray("\x1b[3~");
        QTest::newRow("home") << int(Qt::Key_Home) << none << "" << QByteArray() << true << QByteArray("\x1b[H");
        QTest::newRow("page up") << int(Qt::Key_PageUp) << none << "" << QByteArray() << true << QByteArray("\x1b[5~");
        QTest::newRow("up") << int(Qt::Key_Up) << none << "" << QByteArray() << true << QByteArray("\x1b[A");
        QTest::newRow("up, application cursor")
            << int(Qt::Key_Up) << none << "" << QByteArray("\x1b[?1h") << true << QByteArray("\x1bOA");
        QTest::newRow("ctrl left") << int(Qt::Key_Left) << ctrl << "" << QByteArray() << true
                                   << QByteArray("\x1b[1;5D");
        QTest::newRow("f1") << int(Qt::Key_F1) << none << "" << QByteArray() << true << QByteArray("\x1bOP");
        QTest::newRow("f5") << int(Qt::Key_F5) << none << "" << QByteArray() << true << QByteArray("\x1b[15~");
        // Control letters: the keybind file's bindings first, libvterm for the rest.
        QTest::newRow("ctrl c") << int(Qt::Key_C) << ctrl << "\x03" << QByteArray() << true << QByteArray("\x03");
        QTest::newRow("ctrl r") << int(Qt::Key_R) << ctrl << "\x12" << QByteArray() << true << QByteArray("\x12");
        QTest::newRow("ctrl l") << int(Qt::Key_L) << ctrl << "\x0c" << QByteArray() << true << QByteArray("\x0c");
        QTest::newRow("ctrl z, no text") << int(Qt::Key_Z) << ctrl << "" << QByteArray() << true << QByteArray("\x1a");
        QTest::newRow("alt b") << int(Qt::Key_B) << alt << "b" << QByteArray() << true
                               << QByteArray("\x1b"
                                             "b");
        QTest::newRow("alt ctrl a") << int(Qt::Key_A) << (alt | ctrl) << "\x01" << QByteArray() << true
                                    << QByteArray("\x1b\x01");
        // Super is the terminal's Command: its chords are the library's own or the window's.
        QTest::newRow("super c") << int(Qt::Key_C) << super << "c" << QByteArray() << false << QByteArray();
        QTest::newRow("bare modifier") << int(Qt::Key_Shift) << shift << "" << QByteArray() << false << QByteArray();
    }
    void keysBecomeBytes()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, text);
        QFETCH(QByteArray, modes);
        QFETCH(bool, handled);
        QFETCH(QByteArray, bytes);

        termlib::Keybinds keybinds;
        keybinds.load(kKeybinds);
        VTerm *vt = vterm_new(24, 80);
        vterm_set_utf8(vt, 1);
        vterm_obtain_screen(vt);
        vterm_screen_reset(vterm_obtain_screen(vt), 1);
        QByteArray output;
        vterm_output_set_callback(vt, collect, &output);
        if (!modes.isEmpty())
            vterm_input_write(vt, modes.constData(), size_t(modes.size()));
        output.clear();

        const auto mods = Qt::KeyboardModifiers(modifiers);
        const QByteArray utf8 = text.toUtf8();
        tessaron_term_key record {};
        record.action = TESSARON_TERM_KEY_PRESS;
        record.mods = TerminalKeys::modifierBits(mods);
        record.keycode = TerminalKeys::keyCode(key, mods).value_or(0xFFFF);
        record.text = utf8.isEmpty() ? nullptr : utf8.constData();
        record.unshifted_codepoint = TerminalKeys::unshiftedCodepoint(key);
        std::string direct;
        QCOMPARE(termlib::encodeKey(vt, keybinds, record, direct), handled);
        output.prepend(QByteArray::fromStdString(direct));
        QCOMPARE(output, bytes);
        vterm_free(vt);
    }

    void composingKeysAreLeftToTheInputMethod()
    {
        termlib::Keybinds keybinds;
        VTerm *vt = vterm_new(24, 80);
        tessaron_term_key record {TESSARON_TERM_KEY_PRESS, 0, 0, 0, "a", 'a', true};
        std::string direct;
        QVERIFY(!termlib::encodeKey(vt, keybinds, record, direct));
        vterm_free(vt);
    }

    void keybindTextsDecode()
    {
        QCOMPARE(termlib::decodeBoundText("\\x01\\x0b\\x0C"), std::string("\x01\x0b\x0c"));
        QCOMPARE(termlib::decodeBoundText("a\\nb\\e\\\\"), std::string("a\nb\x1b\\"));
        QCOMPARE(termlib::decodeBoundText("\\xZZ\\x1"), std::string("\\xZZ\\x1"));
    }
};

QTEST_GUILESS_MAIN(TerminalKeyEncodingTest)
#include "tst_TerminalKeyEncoding.moc"
