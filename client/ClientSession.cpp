#include "client/ClientSession.h"

#include "core/Error.h"
#include "files/HandoffReader.h"
#include "files/Settings.h"
#include "server/SqlGateway.h"
#include "text/GbkCodec.h"

#include <QCoreApplication>
#include <QString>

namespace telvoro::client {

namespace {

// Qt SQL names each connection; a second session in the same process (tests
// run several) must not take the first one's.
QString NextConnectionName() {
    static int sessions = 0;
    const int n = sessions++;
    return n == 0 ? QStringLiteral("ADOConn") : QStringLiteral("ADOConn_%1").arg(n);
}

GatewayFactory SqlGatewayFactory() {
    return [name = NextConnectionName()](const DataSource& source) {
        auto gateway = std::make_unique<SqlGateway>(name);
        gateway->Open(source);
        return std::unique_ptr<ServerGateway>(std::move(gateway));
    };
}

// Stands in before the first connection and after a failed one: the send job
// still makes its own checks, and only reaching the server fails.
class NoConnection final : public ServerGateway {
public:
    std::optional<std::string> QueryCredit(const std::string&) override { Fail(); }
    void BeginTransaction() override { Fail(); }
    void InsertSendRow(const std::string&, const std::string&, const std::string&) override {
        Fail();
    }
    long long Deduct(const std::string&, std::int32_t) override { Fail(); }
    void Commit() override { Fail(); }
    void Rollback() override {}

private:
    [[noreturn]] static void Fail() { throw Error("not connected to the SMS server"); }
};

} // namespace

ClientSession::ClientSession(ProgramFolder folder, ClientView& view, SessionOptions options)
    : folder_(std::move(folder)), view_(view),
      openGateway_(options.gateway ? std::move(options.gateway) : SqlGatewayFactory()),
      slicer_(options.clock != nullptr ? *options.clock : SteadyClock()),
      yield_([this] { YieldStep(); }) {}

ClientSession::~ClientSession() = default;

void ClientSession::ReadAccount() {
    try {
        if (const std::optional<std::string> account = ReadAccountNumber(folder_))
            view_.ShowAccountNumber(*account);
    } catch (...) {
    }
}

void ClientSession::Start() {
    CreateTemplatesFile(folder_.TemplatesFile());
    view_.AddTemplateEntries(ReadTemplateMenu(folder_.TemplatesFile()));
    view_.PlaceWindow();
    handoffPath_ = folder_.HandoffFile();
    reader_ = std::make_unique<HandoffReader>(recipients_, folder_, yield_);
    view_.StartHandoffTimer();
}

void ClientSession::Connect() {
    try {
        const DataSource source =
            ParseDataSource(GbkToUtf8(ReadServerSetting(folder_), false), folder_);
        // The old connection is closed before the new one opens, also when
        // opening fails.
        gateway_.reset();
        gateway_ = openGateway_(source);
        if (gateway_ == nullptr) throw Error("no connection was opened");
        view_.ShowConnected();
        GetYuE(*gateway_, *this);
    } catch (...) {
        view_.ShowConnectFailed();
    }
}

void ClientSession::Send() {
    NoConnection none;
    ServerGateway& server = gateway_ ? *gateway_ : static_cast<ServerGateway&>(none);
    if (sendJob_.Btn_BeginClick(server, *this) == SendOutcome::Busy) view_.SignalRefusal();
}

void ClientSession::SaveList(const std::filesystem::path& file) {
    recipients_.SaveList(file, yield_);
}

void ClientSession::LoadList(const std::filesystem::path& file) {
    if (RefuseWhileBusy()) return;
    recipients_.LoadList(file);
}

void ClientSession::Edit(const EditDialog& dialog) {
    if (editOpen_ || closed_) return;
    if (tickRunning_) {
        // A merge is under way: entries it adds after the dialog was filled
        // would be lost on confirmation, so the dialog opens after it.
        editPending_ = true;
        return;
    }
    if (RefuseWhileBusy()) return;
    // The hand-off file waits while the dialog is open and is merged after it
    // closed, so confirming cannot wipe entries whose file is gone.
    struct Hold {
        ClientSession& s;
        explicit Hold(ClientSession& session) : s(session) {
            s.editOpen_ = true;
            if (s.reader_) s.reader_->SetHeldBack(true);
        }
        ~Hold() {
            s.editOpen_ = false;
            if (s.reader_) s.reader_->SetHeldBack(false);
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
    } hold(*this);

    std::optional<std::vector<std::string>> lines = dialog(recipients_.PhoneLines());
    if (!lines) return;
    if (RefuseWhileBusy()) return;
    recipients_.ReplaceFromPhoneLines(std::move(*lines), yield_);
}

void ClientSession::SetAllChecked(const std::function<bool()>& checked) {
    recipients_.SetAllChecked(checked, yield_);
}

std::optional<std::string> ClientSession::TemplateContent(std::string_view caption) const {
    return LookUpTemplate(folder_.TemplatesFile(), caption);
}

void ClientSession::HandoffTick() {
    view_.StopHandoffTimer();
    struct Restart {
        ClientSession& s;
        ~Restart() {
            s.tickRunning_ = false;
            if (!s.closed_) s.view_.StartHandoffTimer();
            if (s.editPending_) {
                s.editPending_ = false;
                s.view_.EditLater();
            }
        }
    } restart{*this};
    tickRunning_ = true;
    if (reader_) reader_->Tick();
}

bool ClientSession::RefuseWhileBusy() {
    if (!recipients_.Busy()) return false;
    view_.SignalRefusal();
    return true;
}

void ClientSession::YieldStep() {
    if (!slicer_.Due()) return;
    QCoreApplication::processEvents();
    slicer_.Restart();
}

bool ClientSession::LeaveHandler() {
    if (--depth_ > 0 || !closePending_) return false;
    closePending_ = false;
    return true;
}

bool ClientSession::MayClose() {
    // Closing is never refused; inside a handler it waits until that returns.
    if (depth_ > 0) {
        closePending_ = true;
        return false;
    }
    closed_ = true;
    return true;
}

void ClientSession::RequestClose() {
    if (depth_ > 0) {
        closePending_ = true;
        return;
    }
    view_.CloseWindow();
}

// SendWindow

std::string ClientSession::AccountNumber() {
    return view_.AccountNumber();
}

std::string ClientSession::MessageText() {
    return view_.MessageText();
}

std::vector<std::string> ClientSession::CheckedPhones() {
    std::vector<std::string> phones;
    const std::size_t n = recipients_.Count();
    for (std::size_t i = 0; i < n; ++i) {
        const RecipientEntry& e = recipients_.At(i);
        if (e.Checked) phones.push_back(e.Phone);
    }
    return phones;
}

bool ClientSession::SelfCheckOn() {
    return view_.SelfCheckOn();
}

std::string ClientSession::SelfCheckNumber() {
    return view_.SelfCheckNumber();
}

std::string ClientSession::DisplayedBalance() {
    return view_.DisplayedBalance();
}

void ClientSession::SetDisplayedBalance(const std::string& text) {
    view_.SetDisplayedBalance(text);
}

void ClientSession::SetProgressPosition(int position) {
    view_.SetProgressPosition(position);
}

void ClientSession::SetProgressMaximum(int maximum) {
    view_.SetProgressMaximum(maximum);
}

void ClientSession::ShowNotice(const std::string& text, const std::string& caption) {
    view_.ShowNotice(text, caption);
}

} // namespace telvoro::client
