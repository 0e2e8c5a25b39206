#include "ui/GroupBoxStyle.h"

#include <QPainter>
#include <QProxyStyle>
#include <QStyleOption>
#include <QWidget>
#include <qdrawutil.h>

namespace telvoro::ui {

namespace {

class GroupBoxStyle final : public QProxyStyle {
public:
    static constexpr int kCaptionLeft = 8;
    static constexpr int kCaptionPadding = 2;

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override {
        const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
        if (control != CC_GroupBox || box == nullptr)
            return QProxyStyle::subControlRect(control, option, sub, widget);
        const QFontMetrics metrics = widget != nullptr ? widget->fontMetrics() : box->fontMetrics;
        const int captionHeight = metrics.height();
        const QRect r = box->rect;
        switch (sub) {
        case SC_GroupBoxFrame:
            return r.adjusted(0, captionHeight / 2, 0, 0);
        case SC_GroupBoxLabel:
            return {r.left() + kCaptionLeft - kCaptionPadding, r.top(),
                    metrics.horizontalAdvance(box->text) + 2 * kCaptionPadding, captionHeight};
        case SC_GroupBoxContents:
            return r.adjusted(2, captionHeight, -2, -2);
        default:
            return {};
        }
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override {
        const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
        if (control != CC_GroupBox || box == nullptr) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        // An etched line, as the platform the program comes from draws it.
        qDrawShadeRect(painter, subControlRect(control, option, SC_GroupBoxFrame, widget),
                       box->palette, true, 1, 0);
        if (box->text.isEmpty()) return;
        const QRect caption = subControlRect(control, option, SC_GroupBoxLabel, widget);
        painter->fillRect(caption, box->palette.brush(QPalette::Window));
        drawItemText(painter, caption, Qt::AlignCenter | Qt::TextShowMnemonic, box->palette,
                     (box->state & State_Enabled) != 0, box->text, QPalette::WindowText);
    }
};

} // namespace

QStyle* GroupBoxLook() {
    // A style must outlive every widget using it.
    static QStyle* const style = new GroupBoxStyle;
    return style;
}

} // namespace telvoro::ui
