#include "client/ClientSession.h"

#include "client/Logging.h"
#include "core/Error.h"
#include "core/GbkTexts.h"
#include "files/HandoffReader.h"
#include "files/Settings.h"
#include "text/GbkCodec.h"
#include "text/QtPath.h"

#include <QCoreApplication>
#include <QString>

namespace telvoro::client {

namespace {

// Stands in before the first connection and after a failed one: the send job
// still makes its own checks, and only reaching the server fails.
class NoConnection final : public ServerGateway {
public:
    std::optional<std::string> QueryCredit(const std::string&) override { Fail(); }
    void BeginTransaction() override { Fail(); }
    std::int64_t InsertSendRow(const std::string&, const std::string&,
                               const std::string&) override {
        Fail();
    }
    long long Deduct(const std::string&, std::int32_t) override { Fail(); }
    void Commit() override { Fail(); }
    void Rollback() override {}
    bool LookUpRow(std::int64_t) override { Fail(); }

private:
    [[noreturn]] static void Fail() { throw Error("not connected to the SMS server"); }
};

} // namespace

std::string TemplatesUtf8ToGbk(std::string_view utf8) {
    return ToGbkDropping(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

ClientSession::ClientSession(ProgramFolder folder, ClientView& view, SessionOptions options)
    : folder_(std::move(folder)), view_(view), openGateway_(std::move(options.gateway)),
      maskSecrets_(std::move(options.maskSecrets)),
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
    view_.AddTemplateEntries(ReadTemplateMenu(folder_.TemplatesFile(), TemplatesUtf8ToGbk));
    view_.PlaceWindow();
    handoffPath_ = folder_.HandoffFile();
    reader_ = std::make_unique<HandoffReader>(recipients_, folder_, yield_);
    // A file set aside or skipped is told once, also when the tick goes on.
    reader_->SetNoticeHook([](const std::string& text) {
        qCWarning(lcHandoff).noquote() << QString::fromStdString(text);
    });
    view_.StartHandoffTimer();
}

void ClientSession::Connect() {
    // The running job holds the connection across its yield steps.
    if (sendJob_.Running()) {
        view_.SignalRefusal();
        return;
    }
    try {
        const DataSource source =
            ParseDataSource(GbkToUtf8(ReadServerSetting(folder_), false), folder_);
        // The old connection is closed before the new one opens, also when
        // opening fails.
        gateway_.reset();
        if (!openGateway_) throw Error("no database gateway is configured");
        gateway_ = openGateway_(source, [this](bool waiting) { view_.ShowLockWait(waiting); });
        if (gateway_ == nullptr) throw Error("no connection was opened");
        connectFailure_.clear();
        // An account file written since the start (the set-up steps) counts
        // now. Without an account number the server is not asked ("not
        // registered" would end the program over a missing file), and the
        // connect stays to be done again once the file is there.
        if (view_.AccountNumber().empty()) ReadAccount();
        if (view_.AccountNumber().empty()) {
            gateway_.reset();
            view_.ShowNotice(gbk::kMsgNoAccountFile, gbk::kCaptionNotice);
            return;
        }
        view_.ShowConnected();
        GetYuE(*gateway_, view_, *this);
    } catch (const std::exception& e) {
        connectFailure_ = maskSecrets_ ? maskSecrets_(e.what()) : std::string(e.what());
        qCWarning(lcServer).noquote()
            << "connecting to the server failed:" << QString::fromStdString(connectFailure_);
        view_.ShowConnectFailed();
    } catch (...) {
        connectFailure_ = "unknown failure";
        qCWarning(lcServer) << "connecting to the server failed";
        view_.ShowConnectFailed();
    }
}

std::string ClientSession::ShownServerSetting() const {
    try {
        const std::string line = GbkToUtf8(ReadServerSetting(folder_), true);
        return maskSecrets_ ? maskSecrets_(line) : line;
    } catch (const std::exception&) {
        return {};
    }
}

QString ClientSession::Loggable(const std::string& utf8) const {
    return QString::fromStdString(maskSecrets_ ? maskSecrets_(utf8) : utf8);
}

namespace {

QString Numbers(const BatchReport& b) {
    return QStringLiteral("numbers %1-%2").arg(b.first + 1).arg(b.first + b.count);
}

} // namespace

void ClientSession::AfterJob(bool submitted) {
    const SendReport& report = sendJob_.Report();
    for (std::size_t k = 0; k < report.batches.size(); ++k) {
        const BatchReport& b = report.batches[k];
        if (b.commitFailed) {
            static const char* const settled[] = {"the row is queued", "the row is not queued",
                                                  "whether the row is queued is unknown"};
            qCWarning(lcServer).noquote()
                << QStringLiteral("commit of batch %1 (%2, row %3) failed: %4; %5")
                       .arg(k + 1)
                       .arg(Numbers(b))
                       .arg(b.rowId)
                       .arg(Loggable(b.cause))
                       .arg(QString::fromLatin1(settled[static_cast<int>(b.state)]));
        } else if (b.state != BatchState::Queued) {
            qCWarning(lcServer).noquote() << QStringLiteral("batch %1 (%2) not queued: %3")
                                                 .arg(k + 1)
                                                 .arg(Numbers(b))
                                                 .arg(Loggable(b.cause));
        }
    }
    if (report.batches.empty() && !report.cause.empty())
        qCWarning(lcServer).noquote() << "send job failed:" << Loggable(report.cause);

    if (submitted || !report.selected) return;
    const std::size_t queued = report.Count(BatchState::Queued);
    const std::size_t unknown = report.Count(BatchState::Unknown);
    if (queued == 0 && unknown == 0) return;
    if (jobGeneration_ != recipients_.Replacements()) {
        qCWarning(lcServer).noquote()
            << QStringLiteral("the list was replaced during the send job: %1 of its numbers "
                              "were queued, but their entries are gone and nothing is unticked")
                   .arg(queued);
        return;
    }
    for (const std::size_t element : report.EntriesQueued()) {
        if (element >= jobEntries_.size()) continue;
        const std::size_t entry = jobEntries_[element];
        if (entry < recipients_.Count()) recipients_.SetChecked(entry, false);
    }
    if (unknown > 0)
        qCWarning(lcServer).noquote()
            << QStringLiteral("%1 entries stay ticked: whether their batch was queued is unknown; "
                              "check the server's queue before sending them again")
                   .arg(unknown);
}

void ClientSession::Send() {
    NoConnection none;
    ServerGateway& server = gateway_ ? *gateway_ : static_cast<ServerGateway&>(none);
    SendOutcome outcome = SendOutcome::Busy;
    try {
        outcome = sendJob_.Btn_BeginClick(server, view_, *this);
    } catch (...) {
        if (!sendJob_.Running()) AfterJob(false);
        throw;
    }
    if (outcome == SendOutcome::Busy) {
        view_.SignalRefusal();
        return;
    }
    AfterJob(outcome == SendOutcome::Submitted);
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
    return LookUpTemplate(folder_.TemplatesFile(), caption, TemplatesUtf8ToGbk);
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
    if (!reader_) return;
    if (reader_->Tick() == HandoffReader::TickResult::Failed) {
        // A tick that keeps failing says so once, not every second.
        if (reader_->LastFailure() != handoffFailure_) {
            handoffFailure_ = reader_->LastFailure();
            qCWarning(lcHandoff).noquote()
                << "the hand-off file" << ToQString(handoffPath_)
                << "cannot be merged:" << QString::fromStdString(handoffFailure_);
        }
    } else {
        handoffFailure_.clear();
    }
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

std::vector<std::string> ClientSession::CheckedPhones() {
    std::vector<std::string> phones;
    jobEntries_.clear();
    jobGeneration_ = recipients_.Replacements();
    const std::size_t n = recipients_.Count();
    for (std::size_t i = 0; i < n; ++i) {
        const RecipientEntry& e = recipients_.At(i);
        if (!e.Checked) continue;
        phones.push_back(e.Phone);
        jobEntries_.push_back(i);
    }
    return phones;
}

} // namespace telvoro::client
