#pragma once
// What every window of the program shares: the font, the one crossing from
// GBK data to what a control shows, and the small layer through which every
// modal dialog runs, so tests can answer dialogs without blocking.

#include <QFont>
#include <QMargins>
#include <QRect>
#include <QString>
#include <exception>
#include <functional>
#include <optional>
#include <string_view>

class QDialog;
class QLineEdit;
class QWidget;

namespace telvoro::ui {

// "宋体" at 12 pixels when it is installed, otherwise an installed Simplified
// Chinese font named explicitly (never left to the locale, which can pick
// Japanese glyph variants).
QFont UiFont();

// The largest font no larger than `base`, or narrower, in which `text` fits
// `room` pixels, down to a legible size; nullopt when none does.
std::optional<QFont> FittingFont(const QFont& base, const QString& text, int room);

// Shows `number` whole in `field`, never a part of it: in the font the field
// has from its window when that fits, else in the largest smaller or
// narrower font that does, down to a legible size; a number too long even
// then is shown in ten thousands ("1234万"). The tool tip holds it exactly.
void ShowWholeNumber(QLineEdit& field, long long number);

// Moves `window` so that an outer size of `size` stands in the middle of the
// primary screen; without a screen it stays where it is.
void CentreOnScreen(QWidget& window, QSize size);

// Installs Qt's own Simplified Chinese texts, so the standard dialogs and
// message box buttons read as the rest of the windows ("打开", "取消", "确定").
// False when they are not installed; the English texts stay then.
bool InstallChineseTranslations();

// GBK data as a control shows it; bytes that are not GBK show as U+FFFD.
QString ShowGbk(std::string_view bytes);

// Runs every modal dialog of the program. The default runs dialog.exec();
// tests install their own to inspect and answer dialogs.
class DialogRunner {
public:
    virtual ~DialogRunner() = default;
    virtual int Exec(QDialog& dialog);
};

// The runner in use; never null.
DialogRunner& Dialogs();
// Installs `runner` (nullptr: back to the default). The caller keeps it alive.
void SetDialogRunner(DialogRunner* runner);

// The system message box with the exclamation icon and one OK button;
// `details`, when given, stand below the text in the box's smaller print.
void ShowNotice(QWidget* parent, const QString& text, const QString& caption,
                const QString& details = {});

// The text the general error report shows for an error's own text: a "." is
// added when the last character sorts after ".".
QString ErrorReportText(const QString& what);

// The general error report: the system message box with the error's text
// (put into Chinese where it is the program's own English), the application
// title as caption and the stop icon. Never throws.
void ShowErrorReport(QWidget* parent, const QString& what);

// Runs `body`; an exception it lets out goes to the general error report, so
// nothing ever reaches Qt's event loop. Returns false when one did.
bool RunGuarded(QWidget* parent, const std::function<void()>& body);

} // namespace telvoro::ui
