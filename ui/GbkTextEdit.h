#pragma once
// A plain multi-line text box that only takes characters with a GBK form.
// Anything else (typed, pasted, dropped or committed by an input method) is
// refused with the default alert sound, so no text ever reaches the system's
// GBK data with a character turned into "?".

#include <QPlainTextEdit>

namespace telvoro::ui {

class GbkTextEdit : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit GbkTextEdit(QWidget* parent = nullptr);

    // The text with its lines joined by CR LF, as GBK bytes.
    std::string GbkTextCrLf() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void insertFromMimeData(const QMimeData* source) override;
};

} // namespace telvoro::ui
