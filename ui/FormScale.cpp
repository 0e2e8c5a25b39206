#include "ui/FormScale.h"

#include "ui/UiCommon.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QProxyStyle>
#include <QVariant>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <map>

namespace telvoro::ui {

namespace {

constexpr const char* kDesigned = "telvoroDesignedGeometry";
constexpr const char* kDesignedFontSize = "telvoroDesignedFontSize";

int Floor(double v) {
    return static_cast<int>(std::floor(v + 1e-9));
}

int Round(double v) {
    return static_cast<int>(std::lround(v));
}

QRect Designed(QWidget& w) {
    QVariant designed = w.property(kDesigned);
    if (!designed.isValid()) {
        designed = w.geometry();
        w.setProperty(kDesigned, designed);
    }
    return designed.toRect();
}

// Edges are scaled, not sizes, so neighbours that touched still touch.
QRect Scaled(QRect r, double f) {
    const int left = Round(r.left() * f);
    const int top = Round(r.top() * f);
    return {left, top, std::max(1, Round((r.left() + r.width()) * f) - left),
            std::max(1, Round((r.top() + r.height()) * f) - top)};
}

// A check box's square and its gap to the caption shrink with the form, or
// the caption would no longer fit beside them.
class ScaledIndicators final : public QProxyStyle {
public:
    explicit ScaledIndicators(double factor) : factor_(factor) {}
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        const int value = QProxyStyle::pixelMetric(metric, option, widget);
        switch (metric) {
        case PM_IndicatorWidth:
        case PM_IndicatorHeight:
        case PM_CheckBoxLabelSpacing:
            return std::max(1, Round(value * factor_));
        default:
            return value;
        }
    }

private:
    double factor_;
};

QStyle* IndicatorsAt(double factor) {
    // A style must outlive the widgets using it; a run sees few factors.
    static std::map<int, QStyle*> styles;
    QStyle*& style = styles[Round(factor * 1000)];
    if (style == nullptr) style = new ScaledIndicators(factor);
    return style;
}

} // namespace

double FitScale(QSize inside, QMargins frame, QRect area) {
    const double roomWidth = area.width() - frame.left() - frame.right();
    const double roomHeight = area.height() - frame.top() - frame.bottom();
    if (inside.isEmpty() || roomWidth <= 0 || roomHeight <= 0) return 1.0;
    return std::min({1.0, roomWidth / inside.width(), roomHeight / inside.height()});
}

QPoint KeepInArea(QPoint wanted, QSize outer, QRect area) {
    return {std::clamp(wanted.x(), area.left(),
                       std::max(area.left(), area.right() + 1 - outer.width())),
            std::clamp(wanted.y(), area.top(),
                       std::max(area.top(), area.bottom() + 1 - outer.height()))};
}

QSize ScaledSize(QSize size, double factor) {
    return {Floor(size.width() * factor), Floor(size.height() * factor)};
}

QSize ScaleForm(QWidget& window, QWidget& form, double factor) {
    QVariant fontSize = window.property(kDesignedFontSize);
    if (!fontSize.isValid()) {
        fontSize = window.font().pixelSize() > 0 ? window.font().pixelSize() : UiFont().pixelSize();
        window.setProperty(kDesignedFontSize, fontSize);
    }
    QFont font = window.font();
    // Down, never up: a caption that filled its place must still fit it.
    font.setPixelSize(std::max(6, Floor(fontSize.toInt() * factor)));
    window.setFont(font);

    // The form's own controls and those of its group boxes: the parts inside
    // a control (a list's header, a box's scroll bar) follow their control.
    const auto place = [factor](QWidget& parent, auto& self) -> void {
        for (QWidget* child : parent.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (child->isWindow()) continue;
            child->setGeometry(Scaled(Designed(*child), factor));
            if (qobject_cast<QCheckBox*>(child) != nullptr)
                child->setStyle(factor < 1.0 ? IndicatorsAt(factor) : nullptr);
            if (qobject_cast<QGroupBox*>(child) != nullptr) self(*child, self);
        }
    };
    place(form, place);
    const QSize size = ScaledSize(Designed(form).size(), factor);
    form.resize(size);
    return size;
}

} // namespace telvoro::ui
