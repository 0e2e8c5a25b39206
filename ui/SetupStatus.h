#pragma once
// The main window's status line for a new installation: a few red words in
// the free space beside "连接服务器" when no account number was read or the
// last connection failed, and a link that shows the whole cause and the
// set-up steps. The tooltip holds the same. Hidden while all is well.

#include "client/ClientSession.h"

#include <QLabel>
#include <optional>
#include <string_view>

namespace telvoro::ui {

class SetupStatus : public QLabel {
    Q_OBJECT
public:
    SetupStatus(const client::ClientSession& session, QWidget* parent);

    // After the start-up: says so when the settings file gave no account number.
    void CheckAccountFile();
    void ShowConnectFailure(std::string_view cause);
    void ShowConnected();
    // While a database call waits for another program's lock: says so,
    // then shows again what it showed before.
    void ShowLockWait(bool waiting);

    // The text the link shows; empty while hidden.
    const QString& Details() const { return details_; }
    // What a click on the link does: the details in a notice.
    void ShowDetails();

private:
    void Show(const QString& summary, const QString& details);

    QString ServerLine() const;

    const client::ClientSession& session_;
    QString details_;
    struct Saved {
        QString text, toolTip;
        bool visible;
    };
    std::optional<Saved> beforeWait_;
};

} // namespace telvoro::ui
