#pragma once
// The program's own message box: a picture, a message and one or two buttons,
// sized to its message. It shows one notice in this system, the error notice.

#include <QDialog>
#include <QMargins>
#include <QSize>
#include <QString>

class QLabel;
class QPushButton;

namespace telvoro::ui {

// Kinds, as the platform message box numbers them.
inline constexpr int kKindConfirm = 33; // OK and Cancel
inline constexpr int kKindNotice = 48;  // OK only; any other value acts as this

// Rounds to the nearest whole number, a half to the even neighbour.
int RoundHalfEven(double value);

// Where the box puts things for a message label of `labelSize` (the label
// stays at left 66, top 20). Sizes are outer sizes, frame included.
struct MsgBoxLayout {
    int kind = kKindNotice; // 33 or 48
    int outerWidth = 0;
    int outerHeight = 0;
    int buttonTop = 0;
    int okLeft = 0;
    int noLeft = 0;
    bool noVisible = false;
};
MsgBoxLayout ComputeMsgBoxLayout(QSize labelSize, int kind);

class TFrm_MsgBox : public QDialog {
    Q_OBJECT
public:
    explicit TFrm_MsgBox(QWidget* parent = nullptr);

    QLabel* Image_33 = nullptr;
    QLabel* Image_48 = nullptr;
    QLabel* Image_TiShi = nullptr;
    QLabel* Label_TiShi = nullptr;
    QPushButton* Button_Ok = nullptr;
    QPushButton* Button_No = nullptr;

    // Title, message, size, buttons and picture for one showing.
    void Prepare(const QString& message, const QString& caption, int kind);
    const MsgBoxLayout& Layout() const { return layout_; }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void FormShow();
    void ApplyOuterSize();
    MsgBoxLayout layout_;
    QMargins appliedFrame_;
};

// Shows the box modally; true when the user chose OK. Any failure gives false.
bool ShowMsgBox(const QString& message, const QString& caption, int kind);
// ShowMsgBox with kind 48, result ignored.
void ShowWarning(const QString& message, const QString& caption);
// "程序出现异常错误!" under the title "警告信息".
void ShowErrorNotice();

} // namespace telvoro::ui
