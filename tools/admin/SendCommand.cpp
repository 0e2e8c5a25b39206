// telvoro-admin send: the send job without a window, on a terminal.

#include "tools/admin/SendCommand.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/SendJob.h"
#include "core/TextRules.h"
#include "server/SqlGateway.h"
#include "text/GbkCodec.h"
#include "tools/admin/Errors.h"

#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

namespace telvoro::admin {

namespace fs = std::filesystem;

namespace {

fs::path Utf8Path(const std::string& s) {
    return fs::path(std::u8string(s.begin(), s.end()));
}

// The send job's window, on a terminal.
class TerminalWindow : public SendWindow {
public:
    std::string account, message, selfCheckNumber, balance = "0";
    std::vector<std::string> phones;
    bool selfCheck = false;
    int maximum = 0;
    std::string lastNotice; // the last message the job showed (GBK)

    std::string AccountNumber() override { return account; }
    std::string MessageText() override { return message; }
    std::vector<std::string> CheckedPhones() override { return phones; }
    bool SelfCheckOn() override { return selfCheck; }
    std::string SelfCheckNumber() override { return selfCheckNumber; }
    std::string DisplayedBalance() override { return balance; }
    void SetDisplayedBalance(const std::string& text) override { balance = text; }
    void SetProgressMaximum(int m) override { maximum = m; }
    void SetProgressPosition(int p) override {
        if (p > 0 && (p % 100 == 0 || p == maximum))
            std::cout << "progress " << p << '/' << maximum << ", balance " << GbkToUtf8(balance)
                      << std::endl;
    }
    void ShowNotice(const std::string& text, const std::string& caption) override {
        std::cout << GbkToUtf8(caption) << ": " << GbkToUtf8(text) << std::endl;
        lastNotice = text;
    }
    void YieldStep() override {}
    void RequestClose() override {}
};

// A message file is GBK text: no byte outside GBK, no control byte but
// TAB, CR and LF.
void CheckMessageText(const std::string& bytes, const std::string& file) {
    bool text = true;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && b != '\t' && b != '\r' && b != '\n') || b == 0x7F) text = false;
    }
    try {
        (void)FromGbk(bytes);
    } catch (const EncodingError&) {
        text = false;
    }
    if (!text) throw Error("the message file " + file + " is not GBK text");
}

// The job's selection would drop every number after a NUL unseen: refuse it.
void CheckNumbersText(const std::string& bytes, const std::string& file) {
    if (const std::size_t nul = bytes.find('\0'); nul != std::string::npos)
        throw Error("the numbers file " + file + " holds a NUL byte (at byte " +
                    std::to_string(nul) + "): it is not a text file");
}

// The self-check number goes to the server unchanged: it must be one number
// that the job's preparation keeps as it is.
void CheckSelfCheck(const std::string& number) {
    if (PrepareNumber(number) != number || !IsPhoneNumber(number))
        throw UsageError("--self-check needs one phone number of digits only, as the job "
                         "sends it (at most 11 digits, 12 when it starts with 0): '" +
                             GbkToUtf8(number) + "'",
                         "send");
}

std::string Numbers(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " number" : " numbers");
}

// How many dropped lines stderr names; the dropped file holds them all.
constexpr std::size_t kDroppedNamed = 5;

// One stderr line for the lines the job's number rules dropped: how many, and
// the first few by line number and text.
std::string DroppedLine(const std::vector<std::string>& phones,
                        const std::vector<std::size_t>& dropped, bool droppedFile) {
    std::string line = std::to_string(dropped.size()) + (dropped.size() == 1 ? " line" : " lines") +
                       " dropped as invalid:";
    for (std::size_t i = 0; i < dropped.size() && i < kDroppedNamed; ++i)
        line += std::string(i == 0 ? " " : ", ") + "line " + std::to_string(dropped[i] + 1) + " '" +
                OneLineError(GbkToUtf8(phones[dropped[i]])) + "'";
    if (dropped.size() > kDroppedNamed) {
        line += " and " + std::to_string(dropped.size() - kDroppedNamed) + " more";
        if (!droppedFile) line += " (--dropped-file FILE lists them all)";
    }
    return line;
}

// Writes a list the operator acts on. One that cannot be written leaves no
// older one in its place, which would be acted on as if it were this run's.
bool WriteListFile(const std::string& file, const std::string& text, const char* what) {
    const fs::path path = Utf8Path(file);
    try {
        WriteWholeFile(path, text, FileAccess::OwnerOnly); // numbers of an account
        return true;
    } catch (const std::exception& e) {
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(path, ec);
        const bool stale = fs::exists(status) && !fs::is_directory(status);
        if (stale) fs::remove(path, ec);
        std::cerr << "telvoro-admin send: " << OneLineError(e.what()) << std::endl;
        std::cerr << "telvoro-admin send: "
                  << (stale && ec ? std::string("the old ") + what +
                                        " file could not be removed; do not use it"
                                  : std::string("no ") + what + " file was written")
                  << std::endl;
        return false;
    }
}

} // namespace

int RunSend(const DataSource& source, const std::vector<std::string>& args,
            const TimeLimits& limits) {
    TerminalWindow window;
    std::string messageFile, numbersFile, restFile, droppedFile;
    bool haveAccount = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError(args[i] + " needs a value");
            return args[++i];
        };
        if (args[i] == "--account") {
            window.account = Utf8ToGbk(value());
            haveAccount = true;
        } else if (args[i] == "--message-file") {
            messageFile = value();
        } else if (args[i] == "--numbers-file") {
            numbersFile = value();
        } else if (args[i] == "--rest-file") {
            restFile = value();
        } else if (args[i] == "--dropped-file") {
            droppedFile = value();
        } else if (args[i] == "--self-check") {
            window.selfCheck = true;
            window.selfCheckNumber = Utf8ToGbk(value());
            CheckSelfCheck(window.selfCheckNumber);
        } else {
            throw UsageError("unknown option " + args[i]);
        }
    }
    if (!haveAccount || messageFile.empty() || numbersFile.empty())
        throw UsageError("send needs --account, --message-file and --numbers-file");
    window.message = ReadWholeFile(Utf8Path(messageFile));
    CheckMessageText(window.message, messageFile);
    const std::string numbers = ReadWholeFile(Utf8Path(numbersFile));
    CheckNumbersText(numbers, numbersFile);
    window.phones = SplitLines(numbers);

    std::size_t blanks = 0;
    for (const std::string& phone : window.phones)
        blanks += PrepareNumber(phone).empty() ? 1 : 0;
    if (blanks > 0 && blanks < window.phones.size())
        std::cout << "charging for " << blanks << " blank " << (blanks == 1 ? "number" : "numbers")
                  << " in " << numbersFile << ", priced like any other number" << std::endl;

    SqlGateway gw(QStringLiteral("admin"), limits);
    SendJobRunner runner;
    SendOutcome outcome = SendOutcome::Failed;
    std::exception_ptr failure;
    try {
        gw.Open(source);
        outcome = runner.Btn_BeginClick(gw, window);
    } catch (...) {
        failure = std::current_exception();
    }
    const SendReport& report = runner.Report();

    // Every line of the numbers file ends up in one place: queued, of
    // unknown outcome (named on stderr), in the rest file (not queued, in
    // order, so that the same command on it sends exactly the rest) or in
    // the dropped file (what the number rules dropped: a retry would only
    // drop it again).
    std::string rest, droppedLines;
    std::size_t total = 0;
    if (report.selected) {
        total = report.selection.size() + report.dropped.size();
        for (const std::string& number : report.NumbersLeft())
            rest += number + "\r\n";
        for (const std::size_t k : report.dropped)
            droppedLines += window.phones[k] + "\r\n";
    } else {
        total = window.phones.size() + (window.selfCheck ? 1 : 0);
        for (const std::string& phone : window.phones)
            rest += phone + "\r\n";
    }
    if (!report.dropped.empty())
        std::cerr << "telvoro-admin send: "
                  << DroppedLine(window.phones, report.dropped, !droppedFile.empty()) << std::endl;
    for (const BatchReport& b : report.batches)
        if (b.state == BatchState::Unknown)
            std::cerr << "telvoro-admin send: unknown whether numbers " << b.first + 1 << "-"
                      << b.first + b.count << " (SendTemp row " << b.rowId
                      << ") were queued; see the queue command" << std::endl;
    if (!failure && outcome != SendOutcome::Submitted) {
        // A failed batch names its cause; a refusal, what the job said.
        if (!report.cause.empty())
            std::cerr << "telvoro-admin send: " << OneLineError(report.cause) << std::endl;
        else if (!window.lastNotice.empty())
            std::cerr << "telvoro-admin send: nothing was sent: "
                      << OneLineError(GbkToUtf8(window.lastNotice)) << std::endl;
    }

    const std::size_t queued = report.Count(BatchState::Queued);
    const std::size_t unknown = report.Count(BatchState::Unknown);
    std::cout << "queued " << queued << " of " << Numbers(total);
    if (unknown > 0) std::cout << ", " << unknown << " unknown";
    if (!report.dropped.empty())
        std::cout << ", " << report.dropped.size() << " dropped as invalid";
    std::cout << std::endl;
    // The account of what was queued is out before the files are written.
    bool written = true;
    if (!restFile.empty()) written = WriteListFile(restFile, rest, "rest") && written;
    if (!droppedFile.empty())
        written = WriteListFile(droppedFile, droppedLines, "dropped") && written;
    if (failure) std::rethrow_exception(failure);
    return written && outcome == SendOutcome::Submitted && queued == total ? 0 : 1;
}

} // namespace telvoro::admin
