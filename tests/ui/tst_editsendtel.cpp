// The recipient editing dialog: the line count as the text box shows it,
// confirm and cancel, and the keys neither button answers.

#include "UiTestSupport.h"

#include "text/GbkCodec.h"
#include "ui/GbkTextEdit.h"
#include "ui/UiCommon.h"
#include "ui/Unit_EditSendTel.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>

using telvoro::ui::TFrm_EditSendTel;

class TestEditSendTel : public QObject {
    Q_OBJECT

private slots:
    void layout() {
        TFrm_EditSendTel d;
        QCOMPARE(d.windowTitle(), QStringLiteral("编辑发送列表"));
        QCOMPARE(d.size(), QSize(307, 434));
        QVERIFY(d.windowFlags() & Qt::WindowContextHelpButtonHint);
        QVERIFY(!(d.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(d.windowFlags() & Qt::WindowMaximizeButtonHint));
        const struct {
            const char* name;
            QRect geometry;
            const char* caption;
        } controls[] = {
            {"Label1", {11, 8, 52, 12}, "提示信息"},
            {"Label2", {35, 24, 264, 12}, "对发送的电脑列表进行编辑，每行一个电话，可以"},
            {"Label3", {11, 40, 228, 12}, "粘贴现有的电话列表从现有的文本文件中。"},
            {"Memo1", {6, 55, 295, 346}, ""},
            {"Label4", {8, 413, 72, 12}, "当前电话数量"},
            {"Edit_SL", {81, 409, 35, 20}, "0"},
            {"Button1", {144, 407, 75, 24}, "确定"},
            {"Button2", {224, 407, 75, 24}, "取消"},
        };
        for (const auto& c : controls) {
            auto* control = Control<QWidget>(d, c.name);
            QCOMPARE(control->geometry(), c.geometry);
            QCOMPARE(Caption(*control), QString::fromUtf8(c.caption));
            QCOMPARE(control->font().families(), telvoro::ui::UiFont().families());
            QCOMPARE(control->font().pixelSize(), 12);
            QCOMPARE(control->font().bold(), control->objectName() == QStringLiteral("Label1"));
        }
        QCOMPARE(Edit_SL(d)->text(), QStringLiteral("0"));
        QCOMPARE(Button1(d)->text(), QStringLiteral("确定"));
        QCOMPARE(Button2(d)->text(), QStringLiteral("取消"));
        QVERIFY(d.ResultText.isEmpty());
        QCOMPARE(QAccessible::queryAccessibleInterface(Edit_SL(d))->text(QAccessible::Name),
                 QStringLiteral("当前电话数量"));
        // The tab order starts at the text box, which has the focus.
        d.show();
        QVERIFY(QTest::qWaitForWindowActive(&d));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Memo1(d)));
        for (QWidget* next : {static_cast<QWidget*>(Edit_SL(d)), static_cast<QWidget*>(Button1(d)),
                              static_cast<QWidget*>(Button2(d))}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
    }

    void lineCount_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("count");
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("one number and a break") << "13900000001\n" << 1;
        QTest::newRow("two breaks at the end") << "13900000001\n\n" << 2;
        QTest::newRow("blank line inside") << "1\n\n2" << 3;
        QTest::newRow("no final break") << "1\n2" << 2;
        QString ten;
        for (int i = 0; i < 10; ++i)
            ten += QStringLiteral("1390000000%1\n").arg(i);
        QTest::newRow("ten numbers") << ten << 10;
        QTest::newRow("ten and a break") << ten + u'\n' << 11;
    }
    void lineCount() {
        QFETCH(QString, text);
        QFETCH(int, count);
        TFrm_EditSendTel d;
        Memo1(d)->setPlainText(text);
        QCOMPARE(d.LineCount(), count);
        QCOMPARE(Edit_SL(d)->text(), QString::number(count));
        QCOMPARE(int(d.ShownLines().size()), count);
    }

    // A line too long for the box counts as the lines it is shown on, and
    // reading back gives those lines.
    void wrappedLineCountsAsShown() {
        TFrm_EditSendTel d;
        const QString digits = QString(200, u'8');
        Memo1(d)->setPlainText(digits + u'\n' + QStringLiteral("13900000001"));
        const QStringList lines = d.ShownLines();
        QVERIFY(lines.size() >= 3);
        QCOMPARE(d.LineCount(), int(lines.size()));
        QCOMPARE(lines.mid(0, lines.size() - 1).join(QString()), digits);
        QCOMPARE(lines.back(), QStringLiteral("13900000001"));
        const QFontMetrics fm(Memo1(d)->font());
        for (const QString& line : lines)
            QVERIFY(fm.horizontalAdvance(line) <= Memo1(d)->width());
        // Shown, the box wraps the same way.
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        const int shownByBox = Memo1(d)->document()->firstBlock().layout()->lineCount();
        QCOMPARE(shownByBox, int(lines.size()) - 1);
    }

    // Trailing tabs (a spreadsheet row with empty cells) can carry a line's
    // end onto a shown line of its own; count and read-back see it too.
    void trailingTabsCountAsShown() {
        TFrm_EditSendTel d;
        d.SetLines({"13900000001\t\t\t\t", "13900000002", "13900000003\t\t\t\t\t\t"});
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        int shown = 0;
        for (QTextBlock b = Memo1(d)->document()->firstBlock(); b.isValid(); b = b.next())
            shown += b.layout()->lineCount();
        QVERIFY(shown > 3);
        // The box also shows the empty line after the final line break,
        // which is no line.
        const QString all = Memo1(d)->document()->toRawText();
        if (all.endsWith(QChar(QChar::LineSeparator)) ||
            all.endsWith(QChar(QChar::ParagraphSeparator)))
            --shown;
        QCOMPARE(d.LineCount(), shown);
        QCOMPARE(int(d.ShownLines().size()), shown);
        QCOMPARE(int(d.ShownLinesGbk().size()), shown);
        QCOMPARE(Edit_SL(d)->text(), QString::number(shown));
    }

    void filledFromLines() {
        TFrm_EditSendTel d;
        d.SetLines({"13900000001", "", "13900000002"});
        QCOMPARE(Edit_SL(d)->text(), QStringLiteral("3"));
        QCOMPARE(d.ShownLinesGbk(), (std::vector<std::string>{"13900000001", "", "13900000002"}));
        d.SetLines({});
        QCOMPARE(Edit_SL(d)->text(), QStringLiteral("0"));
    }

    // The count is kept as the text changes; after every kind of change it
    // is what counting the whole text gives.
    void countFollowsEveryChange_data() {
        QTest::addColumn<int>("change");
        QTest::newRow("type at the end") << 0;
        QTest::newRow("enter in the middle") << 1;
        QTest::newRow("backspace joins two lines") << 2;
        QTest::newRow("delete across paragraphs") << 3;
        QTest::newRow("paste many lines") << 4;
        QTest::newRow("undo and redo") << 5;
        QTest::newRow("paste a long line") << 6;
        QTest::newRow("everything deleted") << 7;
        QTest::newRow("shift enter") << 8;
    }
    void countFollowsEveryChange() {
        QFETCH(int, change);
        TFrm_EditSendTel d;
        std::vector<std::string> phones;
        for (int i = 0; i < 300; ++i) // several paragraphs
            phones.push_back(std::to_string(13900000000LL + i));
        d.SetLines(phones);
        QCOMPARE(Edit_SL(d)->text(), QStringLiteral("300"));
        auto* memo = Memo1(d);
        auto moveTo = [&](int line) {
            memo->moveCursor(QTextCursor::Start);
            for (int i = 0; i < line; ++i)
                memo->moveCursor(QTextCursor::Down);
        };
        switch (change) {
        case 0:
            memo->moveCursor(QTextCursor::End);
            QTest::keyClicks(memo, QStringLiteral("139"));
            break;
        case 1:
            moveTo(100);
            memo->moveCursor(QTextCursor::Right);
            QTest::keyClick(memo, Qt::Key_Return);
            break;
        case 2:
            moveTo(64); // the first line of the second paragraph
            QTest::keyClick(memo, Qt::Key_Backspace);
            moveTo(10);
            QTest::keyClick(memo, Qt::Key_Backspace);
            break;
        case 3: {
            QTextCursor c = memo->textCursor();
            moveTo(50);
            c = memo->textCursor();
            c.movePosition(QTextCursor::Down, QTextCursor::KeepAnchor, 150);
            c.removeSelectedText();
            break;
        }
        case 4: {
            QString many;
            for (int i = 0; i < 1000; ++i)
                many += QStringLiteral("1380000%1\n").arg(i, 4, 10, QLatin1Char('0'));
            QApplication::clipboard()->setText(many);
            moveTo(20);
            memo->paste();
            break;
        }
        case 5:
            moveTo(70);
            QTest::keyClick(memo, Qt::Key_Return);
            QTest::keyClick(memo, Qt::Key_Return);
            memo->undo();
            memo->undo();
            memo->redo();
            break;
        case 6:
            QApplication::clipboard()->setText(QString(400, u'7') + u'\n');
            moveTo(5);
            memo->paste();
            break;
        case 7:
            memo->selectAll();
            QTest::keyClick(memo, Qt::Key_Delete);
            break;
        case 8:
            moveTo(3);
            QTest::keyClick(memo, Qt::Key_Return, Qt::ShiftModifier);
            break;
        }
        const QStringList shown = d.ShownLines();
        QCOMPARE(d.LineCount(), int(shown.size()));
        QCOMPARE(Edit_SL(d)->text(), QString::number(shown.size()));
        // Without wrapping, the shown lines are the text's own lines.
        QStringList own = memo->toPlainText().split(u'\n');
        if (own.back().isEmpty()) own.removeLast();
        if (change != 6) QCOMPARE(shown, own);
        // Read back in one go or line by line, the lines are the same.
        std::vector<std::string> expected;
        for (const QString& line : shown)
            expected.push_back(telvoro::ToGbk(line));
        QCOMPARE(d.ShownLinesGbk(), expected);
        if (change == 8) QCOMPARE(shown.size(), 301);
    }

    // A pasted list keeps its phones and drops only what has no GBK form.
    void pasteDropsOnlyCharactersWithoutGbkForm() {
        TFrm_EditSendTel d;
        QApplication::clipboard()->setText(QStringLiteral("13900000001\n") +
                                           QString::fromUtf8("\xF0\x9F\x98\x80") +
                                           QStringLiteral("13900000002\n"));
        Memo1(d)->paste();
        QCOMPARE(d.ShownLinesGbk(), (std::vector<std::string>{"13900000001", "13900000002"}));
        QCOMPARE(Edit_SL(d)->text(), QStringLiteral("2"));
    }

    // The narrow count field shows every count whole within its place, in a
    // smaller font when it must; a list's count reaches it as it is filled.
    void countFieldShowsWholeCount_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("asLines");
        QTest::addColumn<QString>("shown");
        QTest::newRow("0") << 0 << false << "0";
        QTest::newRow("9999") << 9999 << false << "9999";
        QTest::newRow("10000") << 10000 << false << "10000";
        QTest::newRow("123456 lines") << 123456 << true << "123456";
        QTest::newRow("9999999") << 9999999 << false << "9999999";
        QTest::newRow("too long even small") << 2147483647 << false << "214748万";
    }
    void countFieldShowsWholeCount() {
        QFETCH(int, count);
        QFETCH(bool, asLines);
        QFETCH(QString, shown);
        TFrm_EditSendTel d;
        if (asLines) {
            d.SetLines(std::vector<std::string>(std::size_t(count), "13900000001"));
            QCOMPARE(d.ShownLinesGbk().size(), std::size_t(count));
        } else {
            telvoro::ui::ShowWholeNumber(*Edit_SL(d), count);
        }
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        QLineEdit* field = Edit_SL(d);
        QCOMPARE(field->text(), shown);
        QCOMPARE(field->toolTip(), QString::number(count));
        QCOMPARE(field->geometry(), QRect(81, 409, 35, 20));
        QVERIFY(field->font().pixelSize() >= 7);
        // Whole: with the cursor at the end, the start has not scrolled away.
        auto cursorX = [&](int position) {
            field->setCursorPosition(position);
            static_cast<void>(field->grab()); // lays the text out as shown
            return field->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
        };
        const int start = cursorX(0);
        const int end = cursorX(int(field->text().size()));
        QCOMPARE(end - start, QFontMetrics(field->font()).horizontalAdvance(field->text()));
        QCOMPARE(cursorX(0), start);
    }

    void countFieldOverwrittenByNextChange() {
        TFrm_EditSendTel d;
        Memo1(d)->setPlainText(QStringLiteral("1\n2\n"));
        Edit_SL(d)->setText(QStringLiteral("99"));
        QCOMPARE(d.LineCount(), 2);
        Memo1(d)->moveCursor(QTextCursor::End);
        Memo1(d)->insertPlainText(QStringLiteral("3"));
        QCOMPARE(Edit_SL(d)->text(), QStringLiteral("3"));
    }

    void confirmAndCancel_data() {
        QTest::addColumn<int>("how"); // 0 确定, 1 取消, 2 close box
        QTest::addColumn<QString>("result");
        QTest::newRow("confirm") << 0 << "Ok";
        QTest::newRow("cancel") << 1 << "";
        QTest::newRow("close box") << 2 << "";
    }
    void confirmAndCancel() {
        QFETCH(int, how);
        QFETCH(QString, result);
        TFrm_EditSendTel d;
        QTimer::singleShot(30, &d, [&] {
            if (how == 0)
                Button1(d)->click();
            else if (how == 1)
                Button2(d)->click();
            else
                d.close();
        });
        d.exec();
        QCOMPARE(d.ResultText, result);
    }

    void enterAndEscapeReachNoButton() {
        TFrm_EditSendTel d;
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        Button1(d)->setFocus();
        QTest::keyClick(d.windowHandle(), Qt::Key_Return);
        QTest::keyClick(d.windowHandle(), Qt::Key_Escape);
        QVERIFY(d.isVisible());
        QVERIFY(d.ResultText.isEmpty());
        Memo1(d)->setFocus();
        QTest::keyClicks(Memo1(d), QStringLiteral("139"));
        QTest::keyClick(Memo1(d), Qt::Key_Return);
        QTest::keyClicks(Memo1(d), QStringLiteral("138"));
        QCOMPARE(Memo1(d)->toPlainText(), QStringLiteral("139\n138"));
        QCOMPARE(Edit_SL(d)->text(), QStringLiteral("2"));
        QVERIFY(d.isVisible());
    }
};

QTEST_MAIN(TestEditSendTel)
#include "tst_editsendtel.moc"
