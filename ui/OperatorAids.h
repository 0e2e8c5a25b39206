#pragma once
// What the main window shows an operator beyond its stated controls: the
// list's totals (the tool tip of its group box and of "全选"), the account
// and credit fields in the normal text colour although they stay disabled,
// and which program folder and account the window serves (the tool tip of
// the window's free space and its accessible description), so that windows
// on two folders, which open at the same place, can be told apart.

namespace Ui {
class TFrm_Telvoro;
}

class QWidget;

namespace telvoro::client {
class ClientSession;
}

namespace telvoro::ui {

void AddOperatorAids(QWidget& window, Ui::TFrm_Telvoro& form, client::ClientSession& session);

} // namespace telvoro::ui
