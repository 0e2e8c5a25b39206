#include "ui/OperatorAids.h"

#include "client/ClientSession.h"
#include "text/QtPath.h"
#include "ui_Unit_Telvoro.h"

#include <QDir>
#include <QEvent>
#include <QHelpEvent>
#include <QToolTip>

namespace telvoro::ui {

namespace {

// Counted when asked for: a list of a million entries costs nothing while
// it is ticked or filled.
QString Totals(const RecipientList& list) {
    std::size_t ticked = 0;
    for (std::size_t i = 0; i < list.Count(); ++i)
        if (list.At(i).Checked) ++ticked;
    return QStringLiteral("列表中共 %1 个，已选中 %2 个").arg(list.Count()).arg(ticked);
}

class TotalsTip : public QObject {
public:
    TotalsTip(const RecipientList& list, QObject* parent) : QObject(parent), list_(list) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::ToolTip) return false;
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget == nullptr) return false;
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), Totals(list_), widget);
        return true;
    }

private:
    const RecipientList& list_;
};

// Shown in the normal text colour: the figures must be legible, yet the
// fields stay disabled as the window's states say.
void Legible(QLineEdit& field) {
    QPalette palette = field.palette();
    for (const QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText})
        palette.setColor(QPalette::Disabled, role, palette.color(QPalette::Active, role));
    field.setPalette(palette);
    field.setReadOnly(true);
}

} // namespace

void AddOperatorAids(QWidget& window, Ui::TFrm_Telvoro& form, client::ClientSession& session) {
    auto* totals = new TotalsTip(session.Recipients(), &window);
    form.GroupBox1->installEventFilter(totals);
    form.CheckBox1->installEventFilter(totals);

    Legible(*form.Edit_YuE);
    Legible(*form.Edit_CallNo);

    // The tool tip of the form, shown over every part of it without one of its own.
    QWidget* page = form.GroupBox1->parentWidget();
    const QString folder =
        QDir::toNativeSeparators(QDir(ToQString(session.Folder().Path())).absolutePath());
    const auto identify = [&window, page, folder](const QString& account) {
        const QString who =
            QStringLiteral("程序文件夹：%1\n发送短信卡号：%2")
                .arg(folder, account.isEmpty() ? QStringLiteral("（无）") : account);
        page->setToolTip(who);
        window.setAccessibleDescription(who);
    };
    identify(form.Edit_CallNo->text());
    QObject::connect(form.Edit_CallNo, &QLineEdit::textChanged, &window, identify);
}

} // namespace telvoro::ui
