#pragma once
// One operator's session with the SMS server, below any window: the recipient
// list, the hand-off file merged into it, the connection to the server's
// database and the send job. It keeps the order the operations must follow
// (the start-up sequence, the hand-off tick against the editing dialog,
// closing only once the running handler has returned) and tells its view what
// to show; it never touches a widget itself.

#include "client/Clock.h"
#include "core/RecipientList.h"
#include "core/SendJob.h"
#include "files/DataSource.h"
#include "files/ProgramFolder.h"
#include "files/Templates.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QString;

namespace telvoro {
class HandoffReader;
}

namespace telvoro::client {

// A templates file saved as UTF-8 is read through this: its characters
// without a GBK form are left out, as a paste into the message leaves them.
std::string TemplatesUtf8ToGbk(std::string_view utf8);

// What the session shows and asks for: what the send job reads and shows,
// and the window's part in start-up, connection and closing. All texts are
// GBK bytes.
class ClientView : public SendDisplay {
public:
    // The start-up: the account number read from the settings file (also the
    // self-check number), the template menu's entries, and the window's
    // place on the screen.
    virtual void ShowAccountNumber(const std::string& account) = 0;
    virtual void AddTemplateEntries(const std::vector<TemplateMenuEntry>& entries) = 0;
    virtual void PlaceWindow() = 0;

    // The connection was opened (the credit query follows), or it failed.
    virtual void ShowConnected() = 0;
    virtual void ShowConnectFailed() = 0;

    // The one-second timer that drives HandoffTick().
    virtual void StartHandoffTimer() = 0;
    virtual void StopHandoffTimer() = 0;

    // An operation was refused because the list is busy; no message, a sound.
    virtual void SignalRefusal() = 0;
    // The editing dialog was asked for during a hand-off merge: ask for it
    // again from the event loop, once the merge has returned.
    virtual void EditLater() = 0;
    // Closes the window now; called only outside any handler.
    virtual void CloseWindow() = 0;
    // A database call has waited for another program's lock for a while
    // (true, again every few milliseconds) or is over (false): say so, and
    // repaint without taking input.
    virtual void ShowLockWait(bool /*waiting*/) {}
};

// Called while a database call waits for another program's lock (true) and
// once when that call is over (false).
using LockWait = std::function<void(bool waiting)>;

// Opens the connection to the server's database on `source` and returns it;
// throws when it cannot be opened. Its calls report lock waits to `lockWait`.
using GatewayFactory =
    std::function<std::unique_ptr<ServerGateway>(const DataSource&, LockWait lockWait)>;

// What the program's start wires in (app/SqlSession.h gives the SQL gateway's).
struct SessionOptions {
    // Empty: every connection fails.
    GatewayFactory gateway;
    // The gateway's secrets masked in a text (UTF-8) before it is logged;
    // empty: texts are logged as they are.
    std::function<std::string(const std::string&)> maskSecrets;
    // Null: the steady clock. Must outlive the session.
    Clock* clock = nullptr;
};

// The confirmed phone lines of the editing dialog, or nothing when it was
// cancelled. Gets the list's phone lines to show.
using EditDialog = std::function<std::optional<std::vector<std::string>>(
    const std::vector<std::string>& phoneLines)>;

// The send job gets the view as its display and the session as its host.
class ClientSession : private SendHost {
public:
    ClientSession(ProgramFolder folder, ClientView& view, SessionOptions options = {});
    ~ClientSession() override;
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    const ProgramFolder& Folder() const { return folder_; }
    RecipientList& Recipients() { return recipients_; }
    // Full path of the hand-off file; empty until the start-up has come so far.
    const std::filesystem::path& HandoffPath() const { return handoffPath_; }

    // The start-up, first part: the account number from the settings file.
    // Any error is discarded silently and the field keeps its text.
    void ReadAccount();
    // The start-up, second part: the templates file (created when missing),
    // the template menu, the window's place, the hand-off reader and its
    // timer. An error ends the sequence where it occurs and reaches the caller.
    void Start();

    // Reads the data source, opens the connection anew and queries the
    // credit. Never throws: any failure is shown as a failed connection.
    void Connect();
    // Why the last connection attempt failed (UTF-8, no password); empty
    // after one that worked.
    const std::string& ConnectFailure() const { return connectFailure_; }
    // The data source line of SMSServer.ini as UTF-8 with any password
    // masked, for telling the operator where the database is looked for;
    // empty when there is none or it cannot be read.
    std::string ShownServerSetting() const;
    // Runs the send job; a press while one runs is refused. Errors the job
    // does not turn into notices reach the caller. After a job that did not
    // queue everything, the entries whose numbers were queued are unticked,
    // so the next press sends exactly the rest; the causes go to the log.
    void Send();
    // What the running or last send job did, for the notice of a job that
    // failed part-way: how many numbers are queued, and why the rest are not.
    const SendReport& LastSendReport() const { return sendJob_.Report(); }

    void SaveList(const std::filesystem::path& file);
    void LoadList(const std::filesystem::path& file);
    // Runs `dialog` while the hand-off file waits, then replaces the list with
    // the confirmed lines. Does nothing once the window is closing; during a
    // hand-off merge the dialog is asked for again once the merge is over.
    void Edit(const EditDialog& dialog);
    // Ticks (or unticks) every entry; `checked` is read again at every entry.
    void SetAllChecked(const std::function<bool()>& checked);
    // The content of the first template line holding `caption`, read anew.
    std::optional<std::string> TemplateContent(std::string_view caption) const;

    // One hand-off tick, the timer stopped for its length. Never throws.
    void HandoffTick();

    // Says so (and signals the refusal) when the list is busy with an
    // operation that cannot be overlapped.
    bool RefuseWhileBusy();

    // The yield step of every long operation of the session.
    void YieldStep() override;

    // Handlers run inside Enter/LeaveHandler. A close asked for inside one
    // waits until the outermost has returned; LeaveHandler then says it is due.
    void EnterHandler() { ++depth_; }
    [[nodiscard]] bool LeaveHandler();
    // The window's close: false (held) while a handler runs, else the session
    // counts as closed from now on.
    [[nodiscard]] bool MayClose();
    // Closes at once outside a handler, else once the handler has returned.
    void RequestClose() override;
    // True once a close was asked for, also one still held by a handler.
    bool Closing() const { return closed_ || closePending_; }

private:
    // The log of a job's failures, and the unticking of what it queued.
    void AfterJob(bool submitted);

    // The ticked entries, for the send job.
    std::vector<std::string> CheckedPhones() override;
    // `utf8` as it may be logged.
    QString Loggable(const std::string& utf8) const;

    ProgramFolder folder_;
    ClientView& view_;
    GatewayFactory openGateway_;
    std::function<std::string(const std::string&)> maskSecrets_;
    TimeSlicer slicer_;
    telvoro::YieldStep yield_;
    std::filesystem::path handoffPath_;
    RecipientList recipients_;
    std::unique_ptr<ServerGateway> gateway_;
    SendJobRunner sendJob_;
    std::unique_ptr<HandoffReader> reader_;
    int depth_ = 0;
    bool closePending_ = false;
    bool closed_ = false;
    bool tickRunning_ = false;
    bool editPending_ = false;
    bool editOpen_ = false;
    // The list's entries are appended or the list is replaced whole: an
    // entry is its index within one generation of the list.
    std::uint64_t jobGeneration_ = 0;     // the list's replacements when the job took its entries
    std::vector<std::size_t> jobEntries_; // the checked entries the job took, in order
    std::string handoffFailure_;          // the cause last logged for the hand-off
    std::string connectFailure_;          // the cause of the last failed connection
};

} // namespace telvoro::client
