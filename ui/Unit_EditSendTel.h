#pragma once
// The recipient editing dialog: the recipients' phones as plain text, one a
// line, with a live line count. It only holds the text and reports whether the
// user confirmed; the main window decides what becomes of the lines.
//
// A list of a million phones stays quick: the text box keeps its lines in
// paragraphs of many lines each (joined by line separators), and the count is
// kept paragraph by paragraph as the text changes instead of being counted
// over the whole text at every keystroke.

#include "ui/ShownLineCounter.h"

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace Ui {
class TFrm_EditSendTel;
}

namespace telvoro::ui {

class TFrm_EditSendTel : public QDialog {
    Q_OBJECT
public:
    // Every control's object name is its name in the form, e.g. "Memo1".
    explicit TFrm_EditSendTel(QWidget* parent = nullptr);
    ~TFrm_EditSendTel() override;

    // "Ok" when the user confirmed, empty otherwise.
    QString ResultText;

    // Replaces the text with `lines` (GBK), each followed by a line break.
    // `yield` (may be empty) runs between parts of a long list.
    void SetLines(const std::vector<std::string>& lines, const std::function<void()>& yield = {});
    // The lines as the text box shows them: the empty line after a final line
    // break is not one, other blank lines are, and a line wrapped at the box's
    // width gives one line per shown line.
    QStringList ShownLines() const;
    // ShownLines() as GBK bytes (the text box only takes GBK characters).
    std::vector<std::string> ShownLinesGbk() const;
    int LineCount() const;

    // Lines a paragraph of the text box holds when it is filled or pasted into.
    static constexpr int kLinesPerParagraph = 64;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Shrinks the dialog as a whole on a work area too small for it.
    void FitScreen();
    void FormCreate();
    void Memo1Change();
    void Button1Click();
    void Button2Click();

    std::unique_ptr<Ui::TFrm_EditSendTel> ui_;
    std::unique_ptr<ShownLineCounter> counter_;
    // Lines whose shown text does not turn back into their own bytes.
    std::unordered_map<QString, std::string> lossy_;
};

} // namespace telvoro::ui
