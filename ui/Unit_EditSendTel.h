#pragma once
// The recipient editing dialog: the recipients' phones as plain text, one a
// line, with a live line count. It only holds the text and reports whether the
// user confirmed; the main window decides what becomes of the lines.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <string>
#include <unordered_map>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;

namespace telvoro::ui {

class GbkTextEdit;

class TFrm_EditSendTel : public QDialog {
    Q_OBJECT
public:
    explicit TFrm_EditSendTel(QWidget* parent = nullptr);

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    GbkTextEdit* Memo1 = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* Edit_SL = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    // "Ok" when the user confirmed, empty otherwise.
    QString ResultText;

    // Replaces the text with `lines` (GBK), each followed by a line break.
    void SetLines(const std::vector<std::string>& lines);
    // The lines as the text box shows them: the empty line after a final line
    // break is not one, other blank lines are, and a line wrapped at the box's
    // width gives one line per shown line.
    QStringList ShownLines() const;
    // ShownLines() as GBK bytes (the text box only takes GBK characters).
    std::vector<std::string> ShownLinesGbk() const;
    int LineCount() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void FormCreate();
    void Memo1Change();
    void Button1Click();
    void Button2Click();
    // Visits each shown line; stops early when `visit` returns false.
    template <class Visit> void ForEachShownLine(Visit&& visit) const;
    double AvailableWidth() const;

    // Lines whose shown text does not turn back into their own bytes.
    std::unordered_map<QString, std::string> lossy_;
};

} // namespace telvoro::ui
