#include "ui/AccessibleWindows.h"

#include "ui/TemplatesEditor.h"
#include "ui/Unit_Telvoro.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QMenu>

namespace telvoro::ui {

namespace {

// A window whose open popup menus count as its last children.
class WindowWithMenus : public QAccessibleWidget {
public:
    explicit WindowWithMenus(QWidget* window) : QAccessibleWidget(window, QAccessible::Window) {}

    int childCount() const override {
        return QAccessibleWidget::childCount() + static_cast<int>(OpenMenus().size());
    }

    QAccessibleInterface* child(int index) const override {
        const int own = QAccessibleWidget::childCount();
        if (index < own) return QAccessibleWidget::child(index);
        const QList<QMenu*> menus = OpenMenus();
        return index - own < menus.size()
                   ? QAccessible::queryAccessibleInterface(menus[index - own])
                   : nullptr;
    }

    int indexOfChild(const QAccessibleInterface* child) const override {
        if (child != nullptr)
            if (auto* menu = qobject_cast<QMenu*>(child->object())) {
                const qsizetype at = OpenMenus().indexOf(menu);
                return at < 0 ? -1 : QAccessibleWidget::childCount() + static_cast<int>(at);
            }
        return QAccessibleWidget::indexOfChild(child);
    }

private:
    QList<QMenu*> OpenMenus() const {
        QList<QMenu*> open;
        for (QMenu* menu : widget()->findChildren<QMenu*>(Qt::FindDirectChildrenOnly))
            if (menu->isVisible()) open.append(menu);
        return open;
    }
};

QAccessibleInterface* WindowsFactory(const QString& key, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (widget == nullptr) return nullptr;
    if (key == QLatin1String(TFrm_Telvoro::staticMetaObject.className()))
        return new WindowWithMenus(widget);
    if (key == QLatin1String(TemplatesEditor::staticMetaObject.className()))
        return new QAccessibleWidget(widget, QAccessible::Window);
    return nullptr;
}

} // namespace

void AnnounceWindows() {
    static const bool installed = [] {
        QAccessible::installFactory(WindowsFactory);
        return true;
    }();
    static_cast<void>(installed);
}

} // namespace telvoro::ui
