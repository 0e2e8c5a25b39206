#include "ui/SetupStatus.h"

#include "ui/OperatorTexts.h"
#include "ui/UiCommon.h"

#include <QPalette>
#include <filesystem>

namespace telvoro::ui {

SetupStatus::SetupStatus(const client::ClientSession& session, QWidget* parent)
    : QLabel(parent), session_(session) {
    setObjectName(QStringLiteral("SetupStatus"));
    setTextFormat(Qt::RichText);
    setWordWrap(false); // two short lines: the summary, the link
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // Not a stop of the window's stated tab order.
    setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    setFocusPolicy(Qt::NoFocus);
    QPalette red = palette();
    red.setColor(QPalette::WindowText, Qt::red);
    setPalette(red);
    connect(this, &QLabel::linkActivated, this, [this] { ShowDetails(); });
    hide();
}

void SetupStatus::CheckAccountFile() {
    const QString problem = AccountFileState(session_.Folder());
    if (problem.isEmpty()) return;
    std::error_code ec;
    const bool present = std::filesystem::exists(session_.Folder().SettingsFile(), ec);
    Show(present ? QStringLiteral("帐户文件有误") : QStringLiteral("缺少帐户文件"),
         problem + QStringLiteral("\n\n") + SetupSteps(session_.Folder(), ServerLine()));
}

void SetupStatus::ShowConnectFailure(std::string_view cause) {
    Show(ConnectFailureSummary(cause), ConnectFailureHelp(session_.Folder(), ServerLine(), cause));
}

QString SetupStatus::ServerLine() const {
    return QString::fromStdString(session_.ShownServerSetting());
}

void SetupStatus::ShowConnected() {
    details_.clear();
    setToolTip({});
    hide();
}

void SetupStatus::ShowLockWait(bool waiting) {
    if (waiting && !beforeWait_) {
        beforeWait_ = Saved{text(), toolTip(), isVisible()};
        setText(QStringLiteral("数据库被锁定，<br>正在等待…"));
        setToolTip(QStringLiteral("数据库被另一个程序锁定，正在等待它放开。"
                                  "请关闭另一个程序，或稍候。"));
        show();
    } else if (!waiting && beforeWait_) {
        setText(beforeWait_->text);
        setToolTip(beforeWait_->toolTip);
        setVisible(beforeWait_->visible);
        beforeWait_.reset();
    }
}

void SetupStatus::ShowDetails() {
    if (!details_.isEmpty()) ShowNotice(window(), details_, QStringLiteral("提示信息"));
}

void SetupStatus::Show(const QString& summary, const QString& details) {
    details_ = details;
    setText(summary.toHtmlEscaped() + QStringLiteral("<br><a href=\"#\">查看原因和办法</a>"));
    setToolTip(details);
    show();
}

} // namespace telvoro::ui
