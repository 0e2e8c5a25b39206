#include "ui/Unit_MsgBox.h"

#include "ui/UiCommon.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <vector>

// The pictures live in a static library, whose resource initialiser the linker
// would drop unless something refers to it.
static void InitMsgBoxResources() {
    Q_INIT_RESOURCE(Unit_MsgBox);
}

namespace telvoro::ui {

namespace {

constexpr int kLabelLeft = 66;
constexpr int kLabelTop = 20;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;

// Whether `colour` is the key colour or hardly differs from it (a blend with
// only a trace of the picture in it).
bool NearKey(QRgb colour, QRgb key) {
    constexpr int kTolerance = 16;
    return std::abs(qRed(colour) - qRed(key)) <= kTolerance &&
           std::abs(qGreen(colour) - qGreen(key)) <= kTolerance &&
           std::abs(qBlue(colour) - qBlue(key)) <= kTolerance;
}

// The picture with the colour of its bottom-left pixel made transparent. The
// pixels along the edge were drawn blended with that colour: each becomes the
// colour of the picture beside it, as transparent as the blend had the key
// colour in it, so no fringe of the key colour stays.
QPixmap Picture(const QString& resource) {
    QImage image = QImage(resource).convertToFormat(QImage::Format_ARGB32);
    if (image.isNull()) return {};
    const QRgb key = image.pixel(0, image.height() - 1);
    const int w = image.width();
    const int h = image.height();
    // How far each pixel lies from the transparent area: 0 for the key
    // colour, 1 beside it, 2 beside those, 3 for the rest.
    std::vector<int> depth(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 3);
    auto at = [&](int x, int y) -> int& {
        return depth[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                     static_cast<std::size_t>(x)];
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (NearKey(image.pixel(x, y), key)) at(x, y) = 0;
    for (int layer = 1; layer <= 2; ++layer)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                if (at(x, y) <= layer) continue;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int nx = x + dx;
                        const int ny = y + dy;
                        if (nx >= 0 && ny >= 0 && nx < w && ny < h && at(nx, ny) == layer - 1)
                            at(x, y) = layer;
                    }
            }
    const QImage original = image;
    const double kr = qRed(key);
    const double kg = qGreen(key);
    const double kb = qBlue(key);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int d = at(x, y);
            if (d == 0) {
                image.setPixel(x, y, qRgba(0, 0, 0, 0));
                continue;
            }
            if (d == 3) continue;
            // Of the pixels around it no nearer the edge, whose colour blended
            // with the key gives this pixel, the one with the least key in it:
            // the picture's own colour there.
            constexpr double kBlendTolerance = 3 * 24.0 * 24.0;
            const QRgb p = original.pixel(x, y);
            const double pr = qRed(p) - kr;
            const double pg = qGreen(p) - kg;
            const double pb = qBlue(p) - kb;
            double farthest = pr * pr + pg * pg + pb * pb;
            double bestAlpha = 1;
            QRgb bestColour = p;
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx) {
                    const int nx = x + dx;
                    const int ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= w || ny >= h || at(nx, ny) < d) continue;
                    const QRgb c = original.pixel(nx, ny);
                    const double cr = qRed(c) - kr;
                    const double cg = qGreen(c) - kg;
                    const double cb = qBlue(c) - kb;
                    const double norm = cr * cr + cg * cg + cb * cb;
                    if (norm <= farthest) continue;
                    const double alpha = std::clamp((pr * cr + pg * cg + pb * cb) / norm, 0.0, 1.0);
                    const double er = pr - alpha * cr;
                    const double eg = pg - alpha * cg;
                    const double eb = pb - alpha * cb;
                    if (er * er + eg * eg + eb * eb > kBlendTolerance) continue;
                    farthest = norm;
                    bestAlpha = alpha;
                    bestColour = c;
                }
            // Only a pixel that is such a blend is one; others keep their colour.
            if (bestAlpha > 0.97) continue;
            // Mostly picture: its own colour unmixed from the key; mostly
            // key: the neighbour's colour, which noise cannot throw off.
            auto unmix = [&](int channel, double k, int fallback) {
                if (bestAlpha < 0.5) return fallback;
                return std::clamp(qRound((channel - (1 - bestAlpha) * k) / bestAlpha), 0, 255);
            };
            image.setPixel(x, y,
                           qRgba(unmix(qRed(p), kr, qRed(bestColour)),
                                 unmix(qGreen(p), kg, qGreen(bestColour)),
                                 unmix(qBlue(p), kb, qBlue(bestColour)), qRound(bestAlpha * 255)));
        }
    return QPixmap::fromImage(image);
}

// What the window frame adds around the client area: as measured on the
// parent when it has a frame, else on this window (zero where there is none).
QMargins FrameExtra(const QWidget& dialog) {
    const QWidget* parent = dialog.parentWidget() ? dialog.parentWidget()->window() : nullptr;
    if (parent != nullptr && parent->isVisible() && parent->windowHandle() != nullptr) {
        const QMargins m = parent->windowHandle()->frameMargins();
        if (!m.isNull()) return m;
    }
    if (dialog.windowHandle() != nullptr) return dialog.windowHandle()->frameMargins();
    return {};
}

} // namespace

int RoundHalfEven(double value) {
    return static_cast<int>(std::nearbyint(value));
}

MsgBoxLayout ComputeMsgBoxLayout(QSize labelSize, int kind) {
    MsgBoxLayout l;
    l.kind = kind == kKindConfirm ? kKindConfirm : kKindNotice;
    l.outerWidth = kLabelLeft + labelSize.width() + 30;
    l.buttonTop = kLabelTop + labelSize.height() + 23;
    l.outerHeight = l.buttonTop + kButtonHeight + 42;
    const double w = l.outerWidth;
    if (l.kind == kKindConfirm) {
        const int r = RoundHalfEven(w / 2 - 84.5);
        l.okLeft = r + 6;
        l.noLeft = r + 88;
        l.noVisible = true;
    } else {
        l.okLeft = RoundHalfEven(w / 2 - 37.5);
        l.noLeft = 166;
        l.noVisible = false;
    }
    return l;
}

TFrm_MsgBox::TFrm_MsgBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    InitMsgBoxResources();
    setFont(UiFont());
    setFixedSize(307, 102);

    const QPixmap confirm = Picture(QStringLiteral(":/msgbox/confirm.png"));
    const QPixmap notice = Picture(QStringLiteral(":/msgbox/notice.png"));
    auto picture = [this](const QPixmap& pixmap, int left, int top) {
        auto* label = new QLabel(this);
        label->setPixmap(pixmap);
        label->setGeometry(left, top, 36, 34);
        label->setAttribute(Qt::WA_TranslucentBackground);
        return label;
    };
    Image_33 = picture(confirm, 40, 96);
    Image_33->hide();
    Image_48 = picture(notice, 144, 96);
    Image_48->hide();
    Image_TiShi = picture(confirm, 17, 13);

    Label_TiShi = new QLabel(this);
    Label_TiShi->setTextFormat(Qt::PlainText);
    Label_TiShi->setWordWrap(false);
    Label_TiShi->setAttribute(Qt::WA_TranslucentBackground);
    Label_TiShi->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label_TiShi->move(kLabelLeft, kLabelTop);

    Button_Ok = new QPushButton(QStringLiteral("确定(&D)"), this);
    Button_Ok->setGeometry(72, 60, kButtonWidth, kButtonHeight);
    Button_Ok->setDefault(true);
    Button_No = new QPushButton(QStringLiteral("取消(&C)"), this);
    Button_No->setGeometry(166, 60, kButtonWidth, kButtonHeight);
    setTabOrder(Button_Ok, Button_No);
    connect(Button_Ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button_No, &QPushButton::clicked, this, &QDialog::reject);
}

void TFrm_MsgBox::Prepare(const QString& message, const QString& caption, int kind) {
    // A failure to become top-most is of no consequence.
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    setWindowTitle(caption);
    // Only line breaks start new lines, whichever form they take.
    QString shown = message;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(u'\r', u'\n');
    Label_TiShi->setText(shown);
    // The label's size is the message as drawn: its widest line, and one
    // character height for each line.
    const QFontMetrics metrics(Label_TiShi->font());
    const QStringList lines = shown.split(u'\n');
    int widest = 0;
    for (const QString& line : lines)
        widest = std::max(widest, metrics.horizontalAdvance(line));
    Label_TiShi->resize(widest, static_cast<int>(lines.size()) * metrics.height());

    layout_ = ComputeMsgBoxLayout(Label_TiShi->size(), kind);
    ApplyOuterSize();
    Button_Ok->move(layout_.okLeft, layout_.buttonTop);
    Button_No->move(layout_.noLeft, layout_.buttonTop);
    Button_No->setVisible(layout_.noVisible);
    Image_TiShi->setPixmap(layout_.kind == kKindConfirm ? Image_33->pixmap() : Image_48->pixmap());

    CentreOnScreen(*this, QSize(layout_.outerWidth, layout_.outerHeight));
    Button_Ok->setFocus();
}

// The formulas give the outer size, frame included; the frame is known only
// once the window exists, so the size is applied again when it is shown.
void TFrm_MsgBox::ApplyOuterSize() {
    appliedFrame_ = FrameExtra(*this);
    setFixedSize(layout_.outerWidth - appliedFrame_.left() - appliedFrame_.right(),
                 layout_.outerHeight - appliedFrame_.top() - appliedFrame_.bottom());
}

void TFrm_MsgBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (FrameExtra(*this) != appliedFrame_) ApplyOuterSize();
    // A window manager tells the frame's size only some time after the
    // window is mapped; until it has (for a second at most) the outer size is
    // applied again whenever the frame turns out to differ.
    auto* watch = new QTimer(this);
    watch->setInterval(20);
    connect(watch, &QTimer::timeout, this, [this, watch, ticks = 0]() mutable {
        if (FrameExtra(*this) != appliedFrame_) ApplyOuterSize();
        if (!appliedFrame_.isNull() || ++ticks >= 50 || !isVisible()) {
            watch->stop();
            watch->deleteLater();
        }
    });
    watch->start();
    FormShow();
}

void TFrm_MsgBox::FormShow() {
    QApplication::beep();
}

void TFrm_MsgBox::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        // Escape is the cancel button's key; without that button it does nothing.
        if (Button_No->isVisible()) Button_No->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool ShowMsgBox(const QString& message, const QString& caption, int kind) {
    try {
        TFrm_MsgBox box;
        box.Prepare(message, caption, kind);
        return Dialogs().Exec(box) == QDialog::Accepted;
    } catch (...) {
        return false;
    }
}

void ShowWarning(const QString& message, const QString& caption) {
    ShowMsgBox(message, caption, kKindNotice);
}

void ShowErrorNotice() {
    ShowWarning(QStringLiteral("程序出现异常错误!"), QStringLiteral("警告信息"));
}

} // namespace telvoro::ui
