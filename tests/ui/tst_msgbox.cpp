// The program's own message box: layout formulas, kinds, keys and the error notice.

#include "UiTestSupport.h"

#include "ui/Unit_MsgBox.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace telvoro::ui;

class TestMsgBox : public QObject {
    Q_OBJECT

private slots:
    void roundHalfEven_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("rounded");
        QTest::newRow("14.5") << 14.5 << 14;
        QTest::newRow("15.5") << 15.5 << 16;
        QTest::newRow("61.5") << 61.5 << 62;
        QTest::newRow("-0.5") << -0.5 << 0;
        QTest::newRow("14.6") << 14.6 << 15;
    }
    void roundHalfEven() {
        QFETCH(double, value);
        QFETCH(int, rounded);
        QCOMPARE(RoundHalfEven(value), rounded);
    }

    void layoutFormulas_data() {
        QTest::addColumn<QSize>("label");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("top");
        QTest::addColumn<int>("ok");
        QTest::addColumn<int>("no");
        QTest::addColumn<bool>("noVisible");
        // One line of 12 pixels: buttons at 55, outer height 120.
        QTest::newRow("notice 198")
            << QSize(102, 12) << 48 << 198 << 120 << 55 << 62 << 166 << false;
        QTest::newRow("confirm 198")
            << QSize(102, 12) << 33 << 198 << 120 << 55 << 20 << 102 << true;
        QTest::newRow("confirm 199")
            << QSize(103, 12) << 33 << 199 << 120 << 55 << 21 << 103 << true;
        // Three lines add two line heights to the tops and the height.
        QTest::newRow("three lines")
            << QSize(102, 36) << 33 << 198 << 144 << 79 << 20 << 102 << true;
        QTest::newRow("kind 0 is 48")
            << QSize(102, 12) << 0 << 198 << 120 << 55 << 62 << 166 << false;
        QTest::newRow("kind 1 is 48")
            << QSize(102, 12) << 1 << 198 << 120 << 55 << 62 << 166 << false;
    }
    void layoutFormulas() {
        QFETCH(QSize, label);
        QFETCH(int, kind);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, top);
        QFETCH(int, ok);
        QFETCH(int, no);
        QFETCH(bool, noVisible);
        const MsgBoxLayout l = ComputeMsgBoxLayout(label, kind);
        QCOMPARE(l.outerWidth, width);
        QCOMPARE(l.outerHeight, height);
        QCOMPARE(l.buttonTop, top);
        QCOMPARE(l.okLeft, ok);
        QCOMPARE(l.noLeft, no);
        QCOMPARE(l.noVisible, noVisible);
    }

    // The dialog applies the formulas to its label as measured in its font.
    void dialogFollowsMeasuredLabel_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("kind");
        QTest::newRow("one line notice") << "程序出现异常错误!" << 48;
        QTest::newRow("one line confirm") << "确定要删除吗？" << 33;
        QTest::newRow("three lines") << "第一行\n第二行比较长一些\n第三行" << 33;
        QTest::newRow("kind 7") << "x" << 7;
    }
    void dialogFollowsMeasuredLabel() {
        QFETCH(QString, message);
        QFETCH(int, kind);
        TFrm_MsgBox box;
        box.Prepare(message, QStringLiteral("标题"), kind);
        const QSize label = box.Label_TiShi->size();
        const QFontMetrics fm(box.font());
        QCOMPARE(label.height(), int(message.count(u'\n') + 1) * fm.height());
        int widest = 0;
        for (const QString& line : message.split(u'\n'))
            widest = std::max(widest, fm.horizontalAdvance(line));
        QCOMPARE(label.width(), widest);
        QCOMPARE(box.Label_TiShi->pos(), QPoint(66, 20));
        QCOMPARE(box.Image_TiShi->pos(), QPoint(17, 13));
        const MsgBoxLayout l = ComputeMsgBoxLayout(label, kind);
        QCOMPARE(box.Layout().outerWidth, label.width() + 96);
        // Offscreen windows have no frame: the client area is the outer size.
        QCOMPARE(box.size(), QSize(l.outerWidth, l.outerHeight));
        QCOMPARE(box.Button_Ok->pos(), QPoint(l.okLeft, l.buttonTop));
        QCOMPARE(box.Button_Ok->size(), QSize(75, 23));
        QCOMPARE(box.Button_No->isVisibleTo(&box), kind == 33);
        QCOMPARE(box.windowTitle(), QStringLiteral("标题"));
        QVERIFY(box.windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(box.Button_Ok->isDefault());
        QCOMPARE(box.Button_Ok->text(), QStringLiteral("确定(&D)"));
        QCOMPARE(box.Button_No->text(), QStringLiteral("取消(&C)"));
        QCOMPARE(box.Button_Ok->shortcut(), QKeySequence(QStringLiteral("Alt+D")));
        QCOMPARE(box.Button_No->shortcut(), QKeySequence(QStringLiteral("Alt+C")));
    }

    // Keys and the close box, through the real modal loop.
    void answers_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("closesOnKey");
        QTest::addColumn<bool>("result");
        QTest::newRow("notice enter") << 48 << int(Qt::Key_Return) << true << true;
        QTest::newRow("notice escape does nothing") << 48 << int(Qt::Key_Escape) << false << false;
        QTest::newRow("confirm enter") << 33 << int(Qt::Key_Return) << true << true;
        QTest::newRow("confirm escape") << 33 << int(Qt::Key_Escape) << true << false;
    }
    void answers() {
        QFETCH(int, kind);
        QFETCH(int, key);
        QFETCH(bool, closesOnKey);
        QFETCH(bool, result);
        bool stillOpenAfterKey = false;
        QTimer::singleShot(50, [&] {
            QWidget* box = QApplication::activeModalWidget();
            QVERIFY(box != nullptr);
            box->activateWindow();
            QApplication::processEvents();
            const auto k = Qt::Key(key & ~Qt::KeyboardModifierMask);
            const auto mods = Qt::KeyboardModifiers(key & Qt::KeyboardModifierMask);
            QTest::keyClick(box->windowHandle(), k, mods);
            QApplication::processEvents();
            stillOpenAfterKey = box->isVisible();
            if (stillOpenAfterKey) box->close(); // the close box gives false
        });
        QCOMPARE(ShowMsgBox(QStringLiteral("消息"), QStringLiteral("标题"), kind), result);
        QCOMPARE(stillOpenAfterKey, !closesOnKey);
    }

    void errorNotice() {
        ScriptedDialogs dialogs;
        QString label;
        bool noVisible = true;
        dialogs.answer = [&](QDialog& d) {
            auto& box = static_cast<TFrm_MsgBox&>(d);
            label = box.Label_TiShi->text();
            noVisible = box.Button_No->isVisibleTo(&box);
            return int(QDialog::Accepted);
        };
        ShowErrorNotice();
        QCOMPARE(dialogs.seen.size(), std::size_t(1));
        QCOMPARE(dialogs.seen[0].className, QStringLiteral("telvoro::ui::TFrm_MsgBox"));
        QCOMPARE(dialogs.seen[0].title, QStringLiteral("警告信息"));
        QCOMPARE(label, QStringLiteral("程序出现异常错误!"));
        QVERIFY(!noVisible);
    }

    void failureGivesFalse() {
        ScriptedDialogs dialogs;
        dialogs.answer = [](QDialog&) -> int { throw std::runtime_error("broken"); };
        QVERIFY(!ShowMsgBox(QStringLiteral("a"), QStringLiteral("b"), 33));
    }

    void picturesAreShipped() {
        TFrm_MsgBox box;
        for (QLabel* image : {box.Image_33, box.Image_48, box.Image_TiShi})
            QCOMPARE(image->pixmap().size(), QSize(36, 34));
        QVERIFY(box.Image_33->pixmap().toImage() != box.Image_48->pixmap().toImage());
        // The key colour is gone, its blends along the edge too: drawn on
        // white or on the dialog, no pixel has a magenta cast.
        for (QLabel* image : {box.Image_33, box.Image_48}) {
            const QPixmap picture = image->pixmap();
            QCOMPARE(qAlpha(picture.toImage().pixel(0, 33)), 0);
            QCOMPARE(qAlpha(picture.toImage().pixel(18, 20)), 255);
            for (const QColor& ground :
                 {QColor(Qt::white), box.palette().color(QPalette::Window)}) {
                QImage shown(picture.size(), QImage::Format_RGB32);
                shown.fill(ground);
                QPainter(&shown).drawPixmap(0, 0, picture);
                int cast = 0;
                for (int y = 0; y < shown.height(); ++y)
                    for (int x = 0; x < shown.width(); ++x) {
                        const QColor c = shown.pixelColor(x, y);
                        if (std::min(c.red(), c.blue()) - c.green() > 40) ++cast;
                    }
                QCOMPARE(cast, 0);
            }
        }
    }
};

QTEST_MAIN(TestMsgBox)
#include "tst_msgbox.moc"
